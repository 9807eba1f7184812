// Drawing and mouse tracking of the picture button.
#include "controls/PictureButton.h"

#include "framework/App.h"
#include "framework/Gdi.h"

namespace {

void FillSolid(HDC dc, const RECT& rect, COLORREF color) {
    Win::BrushHandle brush(::CreateSolidBrush(color));
    ::FillRect(dc, &rect, brush.Get());
}

void FrameSolid(HDC dc, const RECT& rect, COLORREF color) {
    Win::BrushHandle brush(::CreateSolidBrush(color));
    ::FrameRect(dc, &rect, brush.Get());
}

// One-pixel lines along the top and left, and along the bottom and right, of a rectangle.
void Edge(HDC dc, const RECT& r, COLORREF topLeft, COLORREF bottomRight) {
    FillSolid(dc, {r.left, r.top, r.right - 1, r.top + 1}, topLeft);
    FillSolid(dc, {r.left, r.top, r.left + 1, r.bottom - 1}, topLeft);
    FillSolid(dc, {r.left, r.bottom - 1, r.right, r.bottom}, bottomRight);
    FillSolid(dc, {r.right - 1, r.top, r.right, r.bottom}, bottomRight);
}

}  // namespace

CPictureButton::CPictureButton() { ResetColors(); }

void CPictureButton::ResetColors() {
    const COLORREF face = ::GetSysColor(COLOR_BTNFACE), text = ::GetSysColor(COLOR_BTNTEXT);
    for (int i = 0; i < ColorCount; i += 2) {
        colors_[i] = face;
        colors_[i + 1] = text;
    }
}

int CPictureButton::SetBitmap(UINT bitmapId, COLORREF transparent) {
    bitmap_.Reset();
    mask_.Reset();
    bitmapWidth_ = bitmapHeight_ = 0;
    Win::BitmapHandle bitmap(static_cast<HBITMAP>(
        ::LoadImageW(CWinApp::Instance(), MAKEINTRESOURCEW(bitmapId), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION)));
    BITMAP info = {};
    if (!bitmap || !::GetObjectW(bitmap.Get(), sizeof(info), &info)) return 1;
    // Pictures are drawn for 96 dots per inch: larger on a screen of more, pixel for pixel so that the
    // transparent colour stays exact (a smoothed edge would mix it into the picture).
    const int dpi = WindowDpi(hwnd_);
    if (dpi != 96) {
        const int width = ScaleToDpi(info.bmWidth, dpi), height = ScaleToDpi(info.bmHeight, dpi);
        HDC screen = ::GetDC(nullptr);
        Win::BitmapHandle scaled(::CreateCompatibleBitmap(screen, width, height));
        HDC from = ::CreateCompatibleDC(screen), to = ::CreateCompatibleDC(screen);
        ::ReleaseDC(nullptr, screen);
        HGDIOBJ oldFrom = ::SelectObject(from, bitmap.Get()), oldTo = ::SelectObject(to, scaled.Get());
        ::SetStretchBltMode(to, COLORONCOLOR);
        const bool done = ::StretchBlt(to, 0, 0, width, height, from, 0, 0, info.bmWidth, info.bmHeight, SRCCOPY) != FALSE;
        ::SelectObject(from, oldFrom);
        ::SelectObject(to, oldTo);
        ::DeleteDC(from);
        ::DeleteDC(to);
        if (done && scaled) {
            bitmap = std::move(scaled);
            info.bmWidth = width;
            info.bmHeight = height;
        }
    }

    // Mask: set where the bitmap has the transparent colour; those pixels of the bitmap become black.
    Win::BitmapHandle mask(::CreateBitmap(info.bmWidth, info.bmHeight, 1, 1, nullptr));
    HDC screen = ::GetDC(nullptr);
    HDC colorDc = ::CreateCompatibleDC(screen), maskDc = ::CreateCompatibleDC(screen);
    ::ReleaseDC(nullptr, screen);
    if (!mask || !colorDc || !maskDc) {
        if (colorDc) ::DeleteDC(colorDc);
        if (maskDc) ::DeleteDC(maskDc);
        return 2;
    }
    HGDIOBJ oldColor = ::SelectObject(colorDc, bitmap.Get());
    HGDIOBJ oldMask = ::SelectObject(maskDc, mask.Get());
    ::SetBkColor(colorDc, transparent);
    ::BitBlt(maskDc, 0, 0, info.bmWidth, info.bmHeight, colorDc, 0, 0, SRCCOPY);
    ::SetBkColor(colorDc, RGB(255, 255, 255));
    ::SetTextColor(colorDc, RGB(0, 0, 0));
    ::BitBlt(colorDc, 0, 0, info.bmWidth, info.bmHeight, maskDc, 0, 0, 0x00220326);  // D and not S
    ::SelectObject(colorDc, oldColor);
    ::SelectObject(maskDc, oldMask);
    ::DeleteDC(colorDc);
    ::DeleteDC(maskDc);

    bitmap_ = std::move(bitmap);
    mask_ = std::move(mask);
    bitmapWidth_ = info.bmWidth;
    bitmapHeight_ = info.bmHeight;
    transparent_ = transparent;
    Invalidate();
    return 0;
}

int CPictureButton::SetPressStyle(int style, bool repaint) {
    static const int offsets[3][2] = {{1, 1}, {0, 2}, {0, 0}};
    if (style < 0 || style > 2) return 6;
    pressX_ = offsets[style][0];
    pressY_ = offsets[style][1];
    if (repaint) Invalidate();
    return 0;
}

void CPictureButton::SizeToImage() {
    marginX_ = marginY_ = 0;
    if (bitmap_)
        ::SetWindowPos(hwnd_, nullptr, 0, 0, bitmapWidth_, bitmapHeight_,
                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOREDRAW | SWP_NOACTIVATE);
}

void CPictureButton::SetDrawBorder(bool draw, bool repaint) {
    drawBorder_ = draw;
    if (repaint) Invalidate();
}

void CPictureButton::LightenHoverBackground() {
    const COLORREF c = colors_[HoverBackground];
    const int channels[3] = {GetRValue(c), GetGValue(c), GetBValue(c)};
    int allowance = 30;
    for (int value : channels) {
        const int room = value < 226 ? 30 : 255 - value;
        if (room < allowance) allowance = room;
    }
    colors_[HoverBackground] = RGB(channels[0] + allowance, channels[1] + allowance, channels[2] + allowance);
    Invalidate();
}

void CPictureButton::DrawItem(DRAWITEMSTRUCT* request) {
    HDC dc = request->hDC;
    pressed_ = (request->itemState & ODS_SELECTED) != 0 || (checkBox_ && GetCheck() == BST_CHECKED);
    focused_ = (request->itemState & ODS_FOCUS) != 0;
    disabled_ = (request->itemState & ODS_DISABLED) != 0;
    ::SetBkMode(dc, TRANSPARENT);

    RECT face = request->rcItem;
    PaintBackground(dc, &face);
    PaintBorder(dc, face);

    const RECT client = request->rcItem;
    const std::wstring caption = hwnd_ ? GetWindowText() : std::wstring();
    RECT captionRect = client;
    if (bitmap_) PaintBitmap(dc, client, !caption.empty(), &captionRect);
    if (!caption.empty()) PaintText(dc, caption, &captionRect);
    // A flat button shows where the keyboard is when the user moves with it (the system's keyboard
    // cues are on), and nothing when the mouse put the focus there.
    const bool keyboardCues = !(request->itemState & ODS_NOFOCUSRECT);
    if (focused_ && (!flat_ || drawFocusOnFlat_ || keyboardCues)) {
        RECT focus = client;
        ::InflateRect(&focus, -3, -3);
        ::DrawFocusRect(dc, &focus);
    }
}

void CPictureButton::PaintBackground(HDC dc, RECT* rect) {
    if (!flat_ && (focused_ || defaultButton_)) {
        FrameSolid(dc, *rect, RGB(0, 0, 0));
        ::InflateRect(rect, -1, -1);
    }
    const COLORREF fill = hovered_ || pressed_ ? colors_[HoverBackground]
                          : focused_           ? colors_[FocusBackground]
                                               : colors_[NormalBackground];
    FillSolid(dc, *rect, fill);
}

void CPictureButton::PaintBorder(HDC dc, const RECT& rect) {
    const COLORREF highlight = ::GetSysColor(COLOR_BTNHIGHLIGHT), shadow = ::GetSysColor(COLOR_BTNSHADOW);
    if (pressed_) {
        if (flat_ && drawBorder_)
            Edge(dc, rect, shadow, highlight);
        else if (!flat_)
            FrameSolid(dc, rect, shadow);
    } else if (!flat_) {
        Edge(dc, rect, highlight, ::GetSysColor(COLOR_3DDKSHADOW));
        RECT inner = rect;
        ::InflateRect(&inner, -1, -1);
        Edge(dc, inner, ::GetSysColor(COLOR_3DLIGHT), shadow);
    } else if (hovered_ && drawBorder_) {
        Edge(dc, rect, highlight, shadow);
    }
}

void CPictureButton::PressOffset(RECT* rect) const {
    if (ShowsPressed()) ::OffsetRect(rect, pressX_, pressY_);
}

void CPictureButton::PaintBitmap(HDC dc, const RECT& client, bool hasCaption, RECT* captionRect) {
    const int width = client.right - client.left, height = client.bottom - client.top;
    RECT image;
    image.left = hasCaption ? client.left + marginX_ : client.left + (width - bitmapWidth_) / 2;
    image.top = client.top + (height - bitmapHeight_) / 2;
    if (hasCaption && imageAlignment_ == 0) captionRect->left = client.left + bitmapWidth_ + 2 * marginX_;
    image.right = image.left + bitmapWidth_;
    image.bottom = image.top + bitmapHeight_;
    PressOffset(&image);

    HDC source = ::CreateCompatibleDC(dc);
    if (disabled_ && showDisabledBitmap_) {
        // The picture on white, then drawn grey and embossed by the system.
        Win::BitmapHandle plain(::CreateCompatibleBitmap(dc, bitmapWidth_, bitmapHeight_));
        HDC plainDc = ::CreateCompatibleDC(dc);
        HGDIOBJ oldPlain = ::SelectObject(plainDc, plain.Get());
        FillSolid(plainDc, {0, 0, bitmapWidth_, bitmapHeight_}, RGB(255, 255, 255));
        ::SetBkColor(plainDc, RGB(255, 255, 255));
        ::SetTextColor(plainDc, RGB(0, 0, 0));
        HGDIOBJ oldSource = ::SelectObject(source, mask_.Get());
        ::BitBlt(plainDc, 0, 0, bitmapWidth_, bitmapHeight_, source, 0, 0, SRCAND);
        ::SelectObject(source, bitmap_.Get());
        ::BitBlt(plainDc, 0, 0, bitmapWidth_, bitmapHeight_, source, 0, 0, SRCPAINT);
        ::SelectObject(source, oldSource);
        ::SelectObject(plainDc, oldPlain);
        ::DeleteDC(plainDc);
        ::DrawStateW(dc, nullptr, nullptr, reinterpret_cast<LPARAM>(plain.Get()), 0, image.left, image.top,
                     bitmapWidth_, bitmapHeight_, DST_BITMAP | DSS_DISABLED);
    } else {
        ::SetBkColor(dc, RGB(255, 255, 255));
        ::SetTextColor(dc, RGB(0, 0, 0));
        HGDIOBJ oldSource = ::SelectObject(source, mask_.Get());
        ::BitBlt(dc, image.left, image.top, bitmapWidth_, bitmapHeight_, source, 0, 0, SRCAND);
        ::SelectObject(source, bitmap_.Get());
        ::BitBlt(dc, image.left, image.top, bitmapWidth_, bitmapHeight_, source, 0, 0, SRCPAINT);
        ::SelectObject(source, oldSource);
    }
    ::DeleteDC(source);
}

void CPictureButton::DrawButtonText(HDC dc, const std::wstring& text, RECT* rect, UINT format) {
    if (disabled_) {
        RECT raised = *rect;
        ::OffsetRect(&raised, 1, 1);
        ::SetTextColor(dc, ::GetSysColor(COLOR_3DHILIGHT));
        ::DrawTextW(dc, text.c_str(), -1, &raised, format);
        ::SetTextColor(dc, ::GetSysColor(COLOR_3DSHADOW));
        ::DrawTextW(dc, text.c_str(), -1, rect, format);
        return;
    }
    const int look = hovered_ || pressed_ ? HoverBackground : focused_ ? FocusBackground : NormalBackground;
    ::SetTextColor(dc, colors_[look + 1]);
    ::SetBkColor(dc, colors_[look]);
    ::DrawTextW(dc, text.c_str(), -1, rect, format);
}

void CPictureButton::PaintText(HDC dc, const std::wstring& caption, RECT* rect) {
    PressOffset(rect);
    RECT measured = *rect;
    ::DrawTextW(dc, caption.c_str(), -1, &measured, DT_WORDBREAK | DT_CENTER | DT_CALCRECT);
    const int w = measured.right - measured.left, h = measured.bottom - measured.top;
    RECT centred;
    centred.left = rect->left + ((rect->right - rect->left) - w) / 2;
    centred.top = rect->top + ((rect->bottom - rect->top) - h) / 2;
    centred.right = centred.left + w;
    centred.bottom = centred.top + h;
    DrawButtonText(dc, caption, &centred, DT_WORDBREAK | DT_CENTER);
}

void CPictureButton::PreSubclassWindow() {
    const LONG_PTR style = GetStyle();
    styleType_ = static_cast<UINT>(style & 0x1F);
    if (style & BS_CHECKBOX) checkBox_ = true;
    if (styleType_ == BS_DEFPUSHBUTTON) {
        defaultButton_ = true;
        styleType_ = BS_PUSHBUTTON;
    }
    ::SetWindowLongPtrW(hwnd_, GWL_STYLE, (style & ~static_cast<LONG_PTR>(0x1F)) | BS_OWNERDRAW);
    ::SetWindowPos(hwnd_, nullptr, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

bool CPictureButton::PreTranslateMessage(MSG* msg) {
    if (!tooltip_) {
        tooltip_ = ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                                     CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, CWinApp::Instance(), nullptr);
        if (tooltip_) {
            ::SendMessageW(tooltip_, TTM_ACTIVATE, FALSE, 0);
            ::SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, 400);
        }
    }
    if (tooltip_) ::SendMessageW(tooltip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(msg));
    if (msg->message == WM_LBUTTONDBLCLK && msg->hwnd == hwnd_) msg->message = WM_LBUTTONDOWN;  // two clicks
    return false;
}

bool CPictureButton::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    switch (message) {
    case WM_DRAWITEM:
        DrawItem(reinterpret_cast<DRAWITEMSTRUCT*>(lParam));
        *result = TRUE;
        return true;
    case WM_CTLCOLORBTN:
        *result = reinterpret_cast<LRESULT>(::GetStockObject(HOLLOW_BRUSH));
        return true;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) ::SetFocus(hwnd_);
        return false;  // the parent handles the click as well
    default:
        return false;
    }
}

void CPictureButton::EndHover() {
    if (flat_ && hovered_) {
        hovered_ = false;
        Invalidate();
    }
}

LRESULT CPictureButton::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_MOUSEMOVE: {
        const LRESULT result = Default(message, wParam, lParam);
        if (!flat_) return result;
        POINT cursor;
        ::GetCursorPos(&cursor);
        HWND under = ::WindowFromPoint(cursor);
        if ((wParam & MK_LBUTTON) && !hovered_) return result;
        if (under == hwnd_) {
            if (!hovered_) {
                hovered_ = true;
                Invalidate();
                TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, hwnd_, 0};
                ::TrackMouseEvent(&track);
            }
        } else {
            EndHover();
        }
        return result;
    }
    case WM_MOUSELEAVE:
    case WM_KILLFOCUS:
    case WM_CANCELMODE:
        EndHover();
        break;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) EndHover();
        break;
    case WM_ENABLE:
        if (!wParam) {
            if (::GetFocus() == hwnd_) {
                HWND parent = ::GetParent(hwnd_);
                HWND next = ::GetNextDlgTabItem(parent, hwnd_, FALSE);
                ::SetFocus(next && next != hwnd_ ? next : parent);
            }
            EndHover();
        }
        break;
    case WM_GETDLGCODE:
        return Default(message, wParam, lParam) | (defaultButton_ ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
    case BM_SETSTYLE: {
        const UINT type = static_cast<UINT>(wParam & 0x1F);
        if (type == BS_DEFPUSHBUTTON) defaultButton_ = true;
        if (type == BS_PUSHBUTTON) defaultButton_ = false;
        return Default(message, (wParam & ~static_cast<WPARAM>(0x1F)) | BS_OWNERDRAW, lParam);
    }
    case WM_SYSCOLORCHANGE:
        ResetColors();
        Invalidate();
        break;
    default:
        break;
    }
    return Default(message, wParam, lParam);
}
