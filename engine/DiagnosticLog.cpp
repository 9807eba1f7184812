// Diagnostic output: UTF-8 on standard output, lone surrogates replaced instead of failing the stream.
#include "engine/DiagnosticLog.h"

#include <cwchar>
#include <iostream>
#include <locale>

namespace AvCore {
namespace {

// UTF-16 to UTF-8 that never reports an error: a stray surrogate becomes U+FFFD.
class Utf8Output : public std::codecvt<wchar_t, char, std::mbstate_t> {
protected:
    result do_out(std::mbstate_t&, const wchar_t* from, const wchar_t* fromEnd, const wchar_t*& fromNext, char* to,
                  char* toEnd, char*& toNext) const override {
        while (from < fromEnd) {
            unsigned long cp = static_cast<unsigned short>(*from);
            size_t used = 1;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (from + 1 == fromEnd) break;  // wait for the low half
                unsigned long low = static_cast<unsigned short>(from[1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    used = 2;
                } else {
                    cp = 0xFFFD;
                }
            } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                cp = 0xFFFD;
            }
            char bytes[4];
            int n;
            if (cp < 0x80) {
                bytes[0] = static_cast<char>(cp);
                n = 1;
            } else if (cp < 0x800) {
                bytes[0] = static_cast<char>(0xC0 | (cp >> 6));
                bytes[1] = static_cast<char>(0x80 | (cp & 0x3F));
                n = 2;
            } else if (cp < 0x10000) {
                bytes[0] = static_cast<char>(0xE0 | (cp >> 12));
                bytes[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                bytes[2] = static_cast<char>(0x80 | (cp & 0x3F));
                n = 3;
            } else {
                bytes[0] = static_cast<char>(0xF0 | (cp >> 18));
                bytes[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                bytes[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                bytes[3] = static_cast<char>(0x80 | (cp & 0x3F));
                n = 4;
            }
            if (toEnd - to < n) break;
            for (int i = 0; i < n; ++i) *to++ = bytes[i];
            from += used;
        }
        fromNext = from;
        toNext = to;
        return from == fromEnd ? ok : partial;
    }
    result do_unshift(std::mbstate_t&, char* to, char*, char*& toNext) const override {
        toNext = to;
        return noconv;
    }
    bool do_always_noconv() const noexcept override { return false; }
    int do_encoding() const noexcept override { return 0; }
    int do_max_length() const noexcept override { return 4; }
};

}  // namespace

std::locale DiagnosticOutputLocale() { return std::locale(std::locale::classic(), new Utf8Output); }

void ConfigureDiagnosticOutput() {
    static bool configured = false;
    if (configured) return;
    configured = true;
    // Unsynchronised streams convert through the imbued facet instead of the C runtime's locale.
    std::ios_base::sync_with_stdio(false);
    std::wcout.imbue(DiagnosticOutputLocale());
}

std::wostream& DebugLine() {
    std::wcout.clear();
    return std::wcout << L"[DEBUG] ";
}

std::wostream& WarnLine() {
    std::wcout.clear();
    return std::wcout << L"[WARN] ";
}

}  // namespace AvCore
