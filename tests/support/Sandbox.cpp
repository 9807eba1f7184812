// Test helpers inside the sandbox.
#include "tests/support/Sandbox.h"

#include "base/LiteralPath.h"

#include <atomic>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>

namespace TestSupport {

std::wstring ExecutableFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1);
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[4096] = {};
    ::GetFullPathNameW(path.c_str(), 4096, full, nullptr);
    return full;
}

std::wstring EngineFolder(const std::wstring& variant) {
    return FullPath(ExecutableFolder() + L"..\\engines\\" + variant);
}

std::wstring CurrentDirectory() {
    wchar_t path[4096] = {};
    ::GetCurrentDirectoryW(4096, path);
    return path;
}

ScratchFolder::ScratchFolder(wchar_t drive) {
    static std::atomic<int> counter(0);
    path_ = std::wstring(1, drive) + L":\\scratch-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter);
    RemoveTree(path_);
    if (!::CreateDirectoryW(path_.c_str(), nullptr)) throw std::runtime_error("cannot create scratch folder");
}

ScratchFolder::~ScratchFolder() { RemoveTree(path_); }

std::wstring ScratchFolder::operator/(const std::wstring& relative) const { return path_ + L"\\" + relative; }

static void CreateParents(const std::wstring& path) {
    for (size_t pos = path.find(L'\\', 3); pos != std::wstring::npos; pos = path.find(L'\\', pos + 1))
        ::CreateDirectoryW(path.substr(0, pos).c_str(), nullptr);
}

void WriteFile(const std::wstring& path, const std::string& content) {
    CreateParents(path);
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + Narrow(path));
    DWORD written = 0;
    const BOOL ok = content.empty() ||
                    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    ::CloseHandle(file);
    if (!ok || written != content.size()) throw std::runtime_error("cannot write " + Narrow(path));
}

std::string ReadFile(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot open " + Narrow(path));
    std::string content;
    char block[65536];
    DWORD got = 0;
    while (::ReadFile(file, block, sizeof(block), &got, nullptr) && got > 0) content.append(block, got);
    ::CloseHandle(file);
    return content;
}

bool FileExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::wstring& path) {
    // Literal paths, so that names like nul.exe or "t.exe." go too; a link goes, never what it leads to.
    const std::wstring literal = LiteralPath(path);
    const DWORD attributes = ::GetFileAttributesW(literal.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    ::SetFileAttributesW(literal.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::DeleteFileW(literal.c_str());
        return;
    }
    WIN32_FIND_DATAW data;
    HANDLE find = attributes & FILE_ATTRIBUTE_REPARSE_POINT ? INVALID_HANDLE_VALUE
                                                             : ::FindFirstFileW((literal + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    ::RemoveDirectoryW(literal.c_str());
}

void RemoveQuarantineFolders() {
    for (const wchar_t* folder : {L"C:\\TER.QUAR", L"D:\\TER.QUAR", L"E:\\TER.QUAR"}) RemoveTree(folder);
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(static_cast<size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr, nullptr);
    return result;
}

// Like the program's own output buffer, each thread's text joins the rest at its '\n'.
class LogCapture::Buffer : public std::wstreambuf {
public:
    std::wstring Text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return text_;
    }

protected:
    int_type overflow(int_type ch) override {
        if (!traits_type::eq_int_type(ch, traits_type::eof())) {
            const wchar_t unit = traits_type::to_char_type(ch);
            xsputn(&unit, 1);
        }
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::wstring& line = lines_[::GetCurrentThreadId()];
        for (std::streamsize i = 0; i < count; ++i) {
            line += text[i];
            if (text[i] == L'\n') {
                text_ += line;
                line.clear();
            }
        }
        return count;
    }

private:
    mutable std::mutex mutex_;
    std::wstring text_;
    std::map<DWORD, std::wstring> lines_;
};

LogCapture::LogCapture() : buffer_(new Buffer), previous_(std::wcout.rdbuf(buffer_.get())) {}

LogCapture::~LogCapture() { std::wcout.rdbuf(previous_); }

std::wstring LogCapture::Text() const { return buffer_->Text(); }

std::vector<std::wstring> LogCapture::Lines() const {
    std::vector<std::wstring> lines;
    std::wstringstream in(buffer_->Text());
    std::wstring line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

bool LogCapture::Contains(const std::wstring& line) const {
    for (const std::wstring& each : Lines())
        if (each == line) return true;
    return false;
}

}  // namespace TestSupport
