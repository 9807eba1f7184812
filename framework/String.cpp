// Loading and formatting strings.
#include "framework/String.h"

#include "framework/App.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

namespace {

CString FormatList(const wchar_t* format, va_list arguments) {
    std::vector<wchar_t> buffer(256);
    for (;;) {
        va_list copy;
        va_copy(copy, arguments);
        const int written = _vsnwprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < buffer.size()) return CString(std::wstring(buffer.data(), written));
        buffer.resize(buffer.size() * 2);
        if (buffer.size() > (1u << 20)) return CString();
    }
}

}  // namespace

CString CString::Load(UINT id) {
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(CWinApp::Instance(), id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? CString(std::wstring(text, static_cast<size_t>(length))) : CString();
}

CString CString::Format(const wchar_t* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CString result = FormatList(format, arguments);
    va_end(arguments);
    return result;
}

CString CString::FormatId(UINT id, ...) {
    const CString format = Load(id);
    va_list arguments;
    va_start(arguments, id);
    CString result = FormatList(format.c_str(), arguments);
    va_end(arguments);
    return result;
}
