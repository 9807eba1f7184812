// The two-line text of the double-line button.
#include "controls/DoubleLineTextButton.h"

CDoubleLineTextButton::CDoubleLineTextButton() { descriptionFont_.CreatePointFont(80, L"Arial"); }

void CDoubleLineTextButton::SetTextMode(int mode) {
    if (mode > 2) return;
    textMode_ = 1;
    if (hwnd_) Invalidate();
}

void CDoubleLineTextButton::SetDescription(const std::wstring& text) {
    if (text.empty()) return;
    description_ = text;
    hasDescription_ = true;
    if (hwnd_) Invalidate();
}

void CDoubleLineTextButton::PaintText(HDC dc, const std::wstring& caption, RECT* rect) {
    if (textMode_ != 1) {
        CPictureButton::PaintText(dc, caption, rect);
        return;
    }
    PressOffset(rect);
    const int height = rect->bottom - rect->top;
    // Word-wrapped and left-aligned text, centred vertically in its rectangle.
    auto drawCentred = [&](const std::wstring& text, const RECT& area) {
        RECT measured = area;
        ::DrawTextW(dc, text.c_str(), -1, &measured, DT_WORDBREAK | DT_LEFT | DT_CALCRECT);
        RECT placed = area;
        placed.top = area.top + ((area.bottom - area.top) - (measured.bottom - measured.top)) / 2;
        placed.bottom = placed.top + (measured.bottom - measured.top);
        DrawButtonText(dc, text, &placed, DT_WORDBREAK | DT_LEFT);
    };
    if (!hasDescription_) {
        drawCentred(caption, *rect);
        return;
    }
    RECT captionRect = *rect;
    captionRect.bottom -= height / 2;
    RECT descriptionRect = *rect;
    descriptionRect.top += (captionRect.bottom - captionRect.top) / 2;
    descriptionRect.right -= height / 2;
    drawCentred(caption, captionRect);
    HGDIOBJ previous = ::SelectObject(dc, descriptionFont_.Get());
    drawCentred(description_, descriptionRect);
    ::SelectObject(dc, previous);
}
