// Checks on paths that come from containers.
#include "quarantine/SafePaths.h"

#include "base/LiteralPath.h"
#include "base/Text.h"
#include "base/WinHandle.h"
#include "resources/resource.h"

#include <windows.h>

#include <cwctype>
#include <vector>

namespace Quarantine {
namespace {

bool IsSafeComponentList(const std::wstring& text) {
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(L'\\', start);
        if (!IsSafeFileName(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start)))
            return false;
        if (end == std::wstring::npos) return true;
        start = end + 1;
    }
}

}  // namespace

bool IsSafeFileName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    for (wchar_t c : name)
        if (c < 0x20 || std::wstring(L"<>:\"/\\|?*").find(c) != std::wstring::npos) return false;
    return true;
}

std::wstring FileNameFromStoredPath(const std::wstring& storedPath, Reason* why) {
    const size_t separator = storedPath.find_last_of(L"\\/");
    std::wstring name = separator == std::wstring::npos ? storedPath : storedPath.substr(separator + 1);
    if (separator == std::wstring::npos && name.size() > 2 && name[1] == L':') name = name.substr(2);
    if (IsSafeFileName(name)) return name;
    if (why) *why = Reason(IDS_REASON_BAD_NAME, name);
    return std::wstring();
}

bool IsSafeOriginalPath(const std::wstring& path) {
    if (path.size() > 3 && std::iswalpha(path[0]) && path[0] < 0x80 && path[1] == L':' && path[2] == L'\\')
        return IsSafeComponentList(path.substr(3));
    if (path.size() > 2 && path[0] == L'\\' && path[1] == L'\\') {
        const size_t server = path.find(L'\\', 2);
        if (server == std::wstring::npos) return false;
        const size_t share = path.find(L'\\', server + 1);
        return share != std::wstring::npos && IsSafeComponentList(path.substr(2));
    }
    return false;
}

namespace {

bool IsInside(const std::wstring& path, std::wstring folder) {
    if (folder.empty()) return false;
    if (folder.back() != L'\\') folder += L'\\';
    return path.size() >= folder.size() && LowerCase(path.substr(0, folder.size())) == LowerCase(folder);
}

std::wstring FolderOf(std::wstring file) {
    const size_t slash = file.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : file.substr(0, slash);
}

// The path as the system would follow it: its longest part that exists opened and its final path
// asked (every link on the way resolved), the rest appended. Empty when not even its drive opens.
std::wstring ResolvedPath(const std::wstring& path) {
    std::wstring existing = path, rest;
    for (;;) {
        const std::wstring open = existing.size() == 2 ? existing + L"\\" : existing;
        Win::FileHandle handle(::CreateFileW(LiteralPath(open).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (handle) {
            std::wstring final = DisplayPath(FinalPath(handle.Get()));
            if (final.empty()) return std::wstring();
            if (final.back() == L'\\') final.pop_back();
            return final + rest;
        }
        const size_t slash = existing.find_last_of(L'\\');
        if (existing.size() <= 2 || slash == std::wstring::npos || slash < 2) return std::wstring();
        rest = existing.substr(slash) + rest;
        existing = existing.substr(0, slash);
    }
}

bool IsOnDriveOutside(const std::wstring& path, wchar_t drive, const std::vector<std::wstring>& folders) {
    if (path.size() < 3 || path[1] != L':' || std::towlower(path[0]) != std::towlower(drive)) return false;
    for (const std::wstring& folder : folders)
        if (IsInside(path, folder)) return false;
    return true;
}

}  // namespace

bool IsUsualPlace(const std::wstring& storedPath, const std::wstring& containerPath) {
    if (storedPath.size() < 3 || containerPath.size() < 3 || storedPath[1] != L':' || containerPath[1] != L':') return false;
    wchar_t windows[MAX_PATH] = {}, program[32768] = {};
    const UINT windowsLength = ::GetWindowsDirectoryW(windows, MAX_PATH);
    const DWORD programLength = ::GetModuleFileNameW(nullptr, program, 32768);
    if (windowsLength == 0 || windowsLength >= MAX_PATH || programLength == 0 || programLength >= 32768) return false;
    // Both folders as written and as they resolve, and the path as written and as the system would
    // follow it: a link in the way is judged by where it leads.
    std::vector<std::wstring> folders = {windows, FolderOf(program)};
    for (size_t i = 0, count = folders.size(); i < count; ++i) {
        const std::wstring resolved = ResolvedPath(folders[i]);
        if (!resolved.empty()) folders.push_back(resolved);
    }
    if (!IsOnDriveOutside(storedPath, containerPath[0], folders)) return false;
    const std::wstring resolved = ResolvedPath(storedPath);
    return resolved.empty() || IsOnDriveOutside(resolved, containerPath[0], folders);
}

std::wstring NumberedName(const std::wstring& name, int n) {
    const size_t dot = name.rfind(L'.');
    const std::wstring suffix = L" (" + std::to_wstring(n) + L")";
    if (dot == std::wstring::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

}  // namespace Quarantine
