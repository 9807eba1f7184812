// CPictureButton: an owner-drawn push button with a picture (drawn with a transparent colour) and a
// caption. A flat button shows a raised edge and a lighter face only while the pointer is over it;
// pressed, focused and disabled looks are states of one drawing.
#pragma once

#include "framework/Controls.h"
#include "base/WinHandle.h"

#include <string>

class CPictureButton : public CButton {
public:
    enum ColorIndex { HoverBackground, HoverText, NormalBackground, NormalText, FocusBackground, FocusText, ColorCount };

    CPictureButton();
    ~CPictureButton() override = default;

    // 0: loaded; 1: the bitmap's size cannot be read; 2: no mask could be made (the bitmap is dropped).
    int SetBitmap(UINT bitmapId, COLORREF transparent);
    // 0: picture moves by (1,1) when pressed; 1: by (0,2); 2: does not move. Other values: 6.
    int SetPressStyle(int style, bool repaint = true);
    // No image margins, and the window sized to the bitmap (position and Z order kept, no repaint).
    void SizeToImage();
    void SetDrawBorder(bool draw, bool repaint = true);
    // Raises the hover face by the smallest room left in its red, green and blue (at most 30).
    void LightenHoverBackground();

    COLORREF GetColor(ColorIndex index) const { return colors_[index]; }
    bool IsHovered() const { return hovered_; }
    bool IsFlat() const { return flat_; }
    bool IsDefaultButton() const { return defaultButton_; }

    // The owner-draw entry: draws the whole button for the request.
    virtual void DrawItem(DRAWITEMSTRUCT* request);

protected:
    virtual void PaintBackground(HDC dc, RECT* rect);
    virtual void PaintBorder(HDC dc, const RECT& rect);
    virtual void PaintText(HDC dc, const std::wstring& caption, RECT* rect);
    virtual void PaintIcon(HDC, RECT*, RECT*) {}  // no icons in this program
    virtual void PaintBitmap(HDC dc, const RECT& client, bool hasCaption, RECT* captionRect);

    // Word-wrapped text in the rules' colours, embossed when disabled.
    void DrawButtonText(HDC dc, const std::wstring& text, RECT* rect, UINT format);
    bool ShowsPressed() const { return pressed_ && !checkBox_; }
    void PressOffset(RECT* rect) const;

    void PreSubclassWindow() override;
    bool PreTranslateMessage(MSG* msg) override;
    bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

    bool pressed_ = false;
    bool focused_ = false;
    bool disabled_ = false;

private:
    void EndHover();
    void ResetColors();

    bool showDisabledBitmap_ = true;
    int marginX_ = 3, marginY_ = 3;
    int pressX_ = 1, pressY_ = 1;
    bool flat_ = true;
    bool hovered_ = false;
    bool defaultButton_ = false;
    bool checkBox_ = false;
    int imageAlignment_ = 0;
    bool drawBorder_ = true;
    bool drawFocusOnFlat_ = false;
    COLORREF colors_[ColorCount];
    HWND tooltip_ = nullptr;  // a child of the button, destroyed with it
    UINT styleType_ = 0;
    Win::BitmapHandle bitmap_;
    Win::BitmapHandle mask_;
    int bitmapWidth_ = 0, bitmapHeight_ = 0;
    COLORREF transparent_ = 0;
};
