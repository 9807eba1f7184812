// Reasons in words, from the program's string table.
#include "resources/Reason.h"

#include "resources/resource.h"

#include <windows.h>

#include <vector>

std::wstring ReasonText(const Reason& reason) {
    if (!reason.id) return std::wstring();
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(::GetModuleHandleW(nullptr), reason.id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) return L"#" + std::to_wstring(reason.id) + L" " + reason.argument;
    const std::wstring format(text, static_cast<size_t>(length));
    std::wstring result;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == L'%' && i + 1 < format.size() && format[i + 1] == L's') {
            result += reason.argument;
            ++i;
        } else {
            result += format[i];
        }
    }
    return result;
}

Reason SystemErrorReason(uint32_t code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return Reason(IDS_REASON_FILE_MISSING);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return Reason(IDS_REASON_FILE_IN_USE);
    case ERROR_ACCESS_DENIED:
        return Reason(IDS_REASON_ACCESS_DENIED);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return Reason(IDS_REASON_DISK_FULL);
    default:
        break;
    }
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                              FORMAT_MESSAGE_IGNORE_INSERTS,
                                          nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring words = length && text ? std::wstring(text, length) : std::wstring();
    if (text) ::LocalFree(text);
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' || words.back() == L' ' ||
                              words.back() == L'.'))
        words.pop_back();
    if (words.empty()) words = L"Windows error " + std::to_wstring(code);
    return Reason(IDS_REASON_SYSTEM, words);
}
