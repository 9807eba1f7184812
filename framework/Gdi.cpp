// Creating fonts and loading menus.
#include "framework/Gdi.h"

#include "framework/App.h"

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
