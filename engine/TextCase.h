// Lower case as Windows compares names, with kernel32 alone (programs without windows do not load
// user32 for it; under Wine that load costs as much as a whole small scan).
#pragma once

#include <windows.h>

#include <string>

inline std::wstring LowerCase(std::wstring text) {
    if (!text.empty())
        ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_LOWERCASE, text.data(), static_cast<int>(text.size()), &text[0],
                       static_cast<int>(text.size()));
    return text;
}

inline wchar_t LowerCase(wchar_t c) {
    wchar_t lower = c;
    ::LCMapStringW(LOCALE_USER_DEFAULT, LCMAP_LOWERCASE, &c, 1, &lower, 1);
    return lower;
}
