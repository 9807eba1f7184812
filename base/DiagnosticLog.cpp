// Diagnostic output: UTF-8 on standard output, safe for several writing threads.
#include "base/DiagnosticLog.h"

#include <boost/thread/mutex.hpp>

#include <iostream>
#include <map>
#include <string>

namespace AvCore {
namespace {

void AppendUtf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Has no put area of its own, so that every insertion arrives here and is taken under the lock. Each
// thread's text waits in a line of its own until its '\n', so lines of different threads never mix.
class Utf8Output : public std::wstreambuf {
public:
    explicit Utf8Output(HANDLE output) : output_(output) {}
    ~Utf8Output() override { sync(); }

protected:
    int_type overflow(int_type ch) override {
        if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
        const wchar_t unit = traits_type::to_char_type(ch);
        xsputn(&unit, 1);
        return ch;
    }

    std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
        boost::mutex::scoped_lock lock(mutex_);
        Line& line = lines_[::GetCurrentThreadId()];
        for (std::streamsize i = 0; i < count; ++i) {
            Append(line, static_cast<unsigned short>(text[i]));
            if (text[i] == L'\n') {
                pending_ += line.text;
                line.text.clear();
            }
        }
        if (pending_.size() >= FlushThreshold) WritePending();
        return count;
    }

    int sync() override {
        boost::mutex::scoped_lock lock(mutex_);
        for (auto& line : lines_) {
            pending_ += line.second.text;
            line.second.text.clear();
        }
        WritePending();
        return 0;
    }

private:
    static const size_t FlushThreshold = 8192;

    struct Line {
        std::string text;        // UTF-8 since the thread's last '\n'
        unsigned long high = 0;  // a high surrogate waiting for its low half
    };

    // A stray surrogate becomes U+FFFD instead of an encoding error.
    static void Append(Line& line, unsigned long unit) {
        if (line.high) {
            const unsigned long high = line.high;
            line.high = 0;
            if (unit >= 0xDC00 && unit <= 0xDFFF) {
                AppendUtf8(line.text, 0x10000 + ((high - 0xD800) << 10) + (unit - 0xDC00));
                return;
            }
            AppendUtf8(line.text, 0xFFFD);
        }
        if (unit >= 0xD800 && unit <= 0xDBFF)
            line.high = unit;
        else
            AppendUtf8(line.text, unit >= 0xDC00 && unit <= 0xDFFF ? 0xFFFD : unit);
    }

    void WritePending() {
        if (output_ && !pending_.empty()) {
            DWORD written = 0;
            ::WriteFile(output_, pending_.data(), static_cast<DWORD>(pending_.size()), &written, nullptr);
        }
        pending_.clear();
    }

    HANDLE output_;
    boost::mutex mutex_;
    std::string pending_;  // whole lines, written when enough has gathered
    std::map<DWORD, Line> lines_;
};

HANDLE StandardOutput() {
    HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    if (output == INVALID_HANDLE_VALUE || ::GetFileType(output) == FILE_TYPE_UNKNOWN) return nullptr;
    return output;
}

}  // namespace

std::unique_ptr<std::wstreambuf> MakeUtf8Output(HANDLE output) {
    return std::unique_ptr<std::wstreambuf>(new Utf8Output(output));
}

void ConfigureDiagnosticOutput() {
    static bool configured = false;
    if (configured) return;
    configured = true;
    // Never freed: the standard library flushes wcout after every static object is gone.
    std::wcout.rdbuf(MakeUtf8Output(StandardOutput()).release());
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
