// CDoubleLineTextButton: a picture button whose text, in two-line mode, is the caption (the button's
// font) in the upper half and a description (8-point Arial) below it.
#pragma once

#include "controls/PictureButton.h"
#include "framework/Gdi.h"

class CDoubleLineTextButton : public CPictureButton {
public:
    CDoubleLineTextButton();

    // 2 or less: two-line mode. Larger values are ignored.
    void SetTextMode(int mode);
    // An empty text is ignored.
    void SetDescription(const std::wstring& text);
    const std::wstring& Description() const { return description_; }

protected:
    void PaintText(HDC dc, const std::wstring& caption, RECT* rect) override;

private:
    CFont descriptionFont_;
    std::wstring description_;
    bool hasDescription_ = false;
    int textMode_ = 2;
};
