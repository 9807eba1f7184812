// Helpers for tests that run inside the sandbox: engine folders, scratch trees on the test drives,
// file contents and captured diagnostic lines.
#pragma once

#include <windows.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace TestSupport {

// Folder of the running test executable, with a trailing backslash.
std::wstring ExecutableFolder();
// Folder of a test engine variant ("test", "readonly", "missing-CoreInit", "init-0", ...), no trailing backslash.
std::wstring EngineFolder(const std::wstring& variant);
std::wstring FullPath(const std::wstring& path);
std::wstring CurrentDirectory();

// A fresh folder on a test drive (D: unless told otherwise), removed with everything in it at the end.
class ScratchFolder {
public:
    explicit ScratchFolder(wchar_t drive = L'D');
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return path_; }
    // Path + "\" + relative.
    std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring path_;
};

void WriteFile(const std::wstring& path, const std::string& content);  // creates missing folders
std::string ReadFile(const std::wstring& path);                        // throws when unreadable
bool FileExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);  // also read-only files; a missing path is fine
// Removes the quarantine folders of the test drives C:, D: and E:.
void RemoveQuarantineFolders();

std::string Narrow(const std::wstring& text);  // UTF-8, for messages

// Redirects the wide standard output into memory while it lives; threads may write at once.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    std::wstring Text() const;
    std::vector<std::wstring> Lines() const;
    bool Contains(const std::wstring& line) const;  // a whole line, without its '\n'

private:
    class Buffer;
    std::unique_ptr<Buffer> buffer_;
    std::wstreambuf* previous_;
};

}  // namespace TestSupport
