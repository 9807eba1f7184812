// Text helpers with kernel32 alone (programs without windows do not load user32 for them; under Wine
// that load costs as much as a whole small scan): lower case as Windows compares names, and UTF-8.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

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

inline std::string Utf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &bytes[0], size, nullptr, nullptr);
    return bytes;
}

// Lower-case hexadecimal digits of the bytes (how digests are written in headers and bases).
inline std::string HexText(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}
