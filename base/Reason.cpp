// Reasons in words, from the program's string table.
#include "base/Reason.h"

#include "resources/resource.h"

#include <windows.h>

#include <vector>

namespace {

// A string-table entry of the program, read with kernel32 alone (LoadStringW would load user32).
std::wstring TableString(unsigned id) {
    HMODULE module = ::GetModuleHandleW(nullptr);
    HRSRC block = ::FindResourceW(module, MAKEINTRESOURCEW((id >> 4) + 1), reinterpret_cast<LPCWSTR>(RT_STRING));
    if (!block) return std::wstring();
    HGLOBAL loaded = ::LoadResource(module, block);
    const DWORD size = ::SizeofResource(module, block) / sizeof(wchar_t);
    const wchar_t* text = loaded ? static_cast<const wchar_t*>(::LockResource(loaded)) : nullptr;
    if (!text) return std::wstring();
    // Sixteen counted strings; the entry is the (id % 16)-th.
    DWORD at = 0;
    for (unsigned i = 0; i < (id & 15); ++i) {
        if (at >= size) return std::wstring();
        at += 1 + text[at];
    }
    if (at >= size || at + 1 + text[at] > size) return std::wstring();
    return std::wstring(text + at + 1, text[at]);
}

}  // namespace

std::wstring ReasonText(const Reason& reason) {
    if (!reason.id) return std::wstring();
    const std::wstring format = TableString(reason.id);
    if (format.empty()) return L"#" + std::to_wstring(reason.id) + L" " + reason.argument;
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

std::wstring SystemErrorText(uint32_t code) {
    const std::wstring words = ReasonText(SystemErrorReason(code)), number = std::to_wstring(code);
    return words.find(number) == std::wstring::npos ? words + L" (code " + number + L")" : words;
}
