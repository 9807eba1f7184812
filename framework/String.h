// CString: a wide string with printf-style formatting and loading from the string table.
#pragma once

#include <windows.h>

#include <string>

class CString : public std::wstring {
public:
    CString() = default;
    CString(const wchar_t* text) : std::wstring(text ? text : L"") {}
    CString(const std::wstring& text) : std::wstring(text) {}

    // The string table entry, or an empty string when there is none.
    static CString Load(UINT id);
    // printf-style, as the string table's "%i" and "%s" entries expect.
    static CString Format(const wchar_t* format, ...);
    // A string table entry used as the format.
    static CString FormatId(UINT id, ...);
};
