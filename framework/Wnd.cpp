// Window wrappers: subclassing, the wrapper lookup and message pumping.
#include "framework/Wnd.h"

#include <vector>

namespace {
const wchar_t WrapperProperty[] = L"Tervan.CWnd";
}

CWnd::~CWnd() { UnsubclassWindow(); }

bool CWnd::SubclassDlgItem(UINT id, CWnd* parent) {
    HWND control = ::GetDlgItem(parent->GetSafeHwnd(), static_cast<int>(id));
    return control && SubclassWindow(control);
}

bool CWnd::SubclassWindow(HWND hwnd) {
    if (!hwnd || originalProc_) return false;
    hwnd_ = hwnd;
    SetWrapperOf(hwnd);
    originalProc_ = reinterpret_cast<WNDPROC>(
        ::SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::SubclassProc)));
    PreSubclassWindow();
    return true;
}

void CWnd::UnsubclassWindow() {
    if (!originalProc_) return;
    if (::IsWindow(hwnd_)) {
        ::SetWindowLongPtrW(hwnd_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(originalProc_));
        ::RemovePropW(hwnd_, WrapperProperty);
    }
    originalProc_ = nullptr;
}

void CWnd::SetWrapperOf(HWND hwnd) { ::SetPropW(hwnd, WrapperProperty, this); }

CWnd* CWnd::FromHandle(HWND hwnd) { return hwnd ? static_cast<CWnd*>(::GetPropW(hwnd, WrapperProperty)) : nullptr; }

LRESULT CWnd::Default(UINT message, WPARAM wParam, LPARAM lParam) {
    return originalProc_ ? ::CallWindowProcW(originalProc_, hwnd_, message, wParam, lParam)
                         : ::DefWindowProcW(hwnd_, message, wParam, lParam);
}

LRESULT CALLBACK CWnd::SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CWnd* self = FromHandle(hwnd);
    if (!self) return ::DefWindowProcW(hwnd, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        // The window is going away: give it back its own procedure and forget it.
        WNDPROC original = self->originalProc_;
        self->UnsubclassWindow();
        self->hwnd_ = nullptr;
        return ::CallWindowProcW(original, hwnd, message, wParam, lParam);
    }
    return self->WindowProc(message, wParam, lParam);
}

std::wstring CWnd::GetWindowText() const {
    const int length = ::GetWindowTextLengthW(hwnd_);
    std::vector<wchar_t> text(static_cast<size_t>(length) + 1);
    ::GetWindowTextW(hwnd_, text.data(), length + 1);
    return text.data();
}

RECT CWnd::GetClientRect() const {
    RECT rect = {};
    ::GetClientRect(hwnd_, &rect);
    return rect;
}

RECT CWnd::GetWindowRect() const {
    RECT rect = {};
    ::GetWindowRect(hwnd_, &rect);
    return rect;
}

void PumpMessages() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));  // leave it for the loop that owns it
            return;
        }
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}
