// Dots per inch, creating fonts and loading menus.
#include "framework/Gdi.h"

#include "framework/App.h"

int WindowDpi(HWND window) {
    // Windows 10 and later know each monitor's; earlier ones have one for the whole screen.
    typedef UINT(WINAPI * DpiForWindow)(HWND);
    static const DpiForWindow dpiForWindow =
        reinterpret_cast<DpiForWindow>(::GetProcAddress(::GetModuleHandleW(L"user32.dll"), "GetDpiForWindow"));
    if (dpiForWindow && window) {
        const UINT dpi = dpiForWindow(window);
        if (dpi > 0) return static_cast<int>(dpi);
    }
    HDC screen = ::GetDC(nullptr);
    const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
    if (screen) ::ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

bool CFont::CreateFont(int height, int weight, const wchar_t* face) {
    LOGFONTW description = {};
    description.lfHeight = height;
    description.lfWeight = weight;
    description.lfCharSet = DEFAULT_CHARSET;
    description.lfPitchAndFamily = FF_SWISS;
    lstrcpynW(description.lfFaceName, face, LF_FACESIZE);
    return CreateFontIndirect(description);
}

bool CFont::CreatePointFont(int tenthsOfPoint, const wchar_t* face) {
    HDC screen = ::GetDC(nullptr);
    LOGFONTW description = {};
    description.lfHeight = -::MulDiv(tenthsOfPoint, ::GetDeviceCaps(screen, LOGPIXELSY), 720);
    description.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(description.lfFaceName, face, LF_FACESIZE);
    ::ReleaseDC(nullptr, screen);
    return CreateFontIndirect(description);
}

bool CFont::CreateFontIndirect(const LOGFONTW& description) {
    font_.Reset(::CreateFontIndirectW(&description));
    return static_cast<bool>(font_);
}

bool CMenu::LoadMenu(UINT id) {
    menu_.Reset(::LoadMenuW(CWinApp::Instance(), MAKEINTRESOURCEW(id)));
    return static_cast<bool>(menu_);
}
