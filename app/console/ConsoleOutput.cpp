// Writing tervscan's lines, and reading its list files.
#include "app/console/ConsoleOutput.h"

#include "app/console/ConsoleCommands.h"
#include "base/Text.h"

#include <vector>

namespace {

HANDLE Standard(DWORD which) {
    HANDLE handle = ::GetStdHandle(which);
    return handle == INVALID_HANDLE_VALUE || ::GetFileType(handle) == FILE_TYPE_UNKNOWN ? nullptr : handle;
}

bool IsConsole(HANDLE handle) {
    DWORD mode;
    return handle && ::GetConsoleMode(handle, &mode);
}

void WriteAll(HANDLE handle, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        DWORD written = 0;
        if (!::WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
            written == 0)
            return;
        done += written;
    }
}

}  // namespace

ConsoleOutput& ConsoleOutput::Get() {
    static ConsoleOutput output;
    return output;
}

ConsoleOutput::ConsoleOutput()
    : output_(Standard(STD_OUTPUT_HANDLE)),
      errors_(Standard(STD_ERROR_HANDLE)),
      outputIsConsole_(IsConsole(output_)),
      errorsAreConsole_(IsConsole(errors_)) {}

bool ConsoleOutput::OpenLog(const std::wstring& path) {
    Win::FileHandle log(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log) return false;
    boost::mutex::scoped_lock lock(mutex_);
    log_ = std::move(log);
    return true;
}

void ConsoleOutput::Write(HANDLE handle, bool console, const std::wstring& text) {
    if (!handle) return;
    if (console) {
        DWORD written = 0;
        ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        WriteAll(handle, Utf8(text));
    }
}

void ConsoleOutput::Result(const std::wstring& line) {
    boost::mutex::scoped_lock lock(mutex_);
    if (progressShown_) Write(output_, outputIsConsole_, L"\n");
    progressShown_ = false;
    Write(output_, outputIsConsole_, line + L"\n");
    if (log_) WriteAll(log_.Get(), Utf8(line + L"\n"));
}

void ConsoleOutput::Progress(const std::wstring& line) {
    boost::mutex::scoped_lock lock(mutex_);
    if (!outputIsConsole_) return;
    Write(output_, true, L"\r" + line);
    progressShown_ = true;
}

void ConsoleOutput::Error(const std::wstring& line) {
    boost::mutex::scoped_lock lock(mutex_);
    Write(errors_, errorsAreConsole_, line + L"\n");
}

bool ReadTextFile(const std::wstring& path, std::wstring& text) {
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string bytes;
    char block[65536];
    DWORD got = 0;
    while (::ReadFile(file.Get(), block, sizeof(block), &got, nullptr) && got > 0) bytes.append(block, got);
    text.clear();
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8));
        return true;
    }
    size_t start = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, static_cast<int>(bytes.size() - start), nullptr, 0);
    if (size > 0) {
        text.resize(static_cast<size_t>(size));
        ::MultiByteToWideChar(CP_UTF8, 0, bytes.data() + start, static_cast<int>(bytes.size() - start), &text[0], size);
    }
    return true;
}

void ReportError(const std::wstring& message) { ConsoleOutput::Get().Error(message); }
