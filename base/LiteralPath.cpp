// Adding and removing the literal-path prefix.
#include "base/LiteralPath.h"

#include <windows.h>

#include <vector>

namespace {

const std::wstring Prefix = L"\\\\?\\";
const std::wstring UncPrefix = L"\\\\?\\UNC\\";

bool NeedsResolving(const std::wstring& path, size_t from) {
    if (path.find(L'/') != std::wstring::npos) return true;
    for (size_t start = from; start <= path.size();) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos) end = path.size();
        const std::wstring part = path.substr(start, end - start);
        if (part == L"." || part == L".." || (part.empty() && end != path.size())) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

std::wstring LiteralPath(const std::wstring& path) {
    const bool drive = path.size() >= 3 && path[1] == L':' && path[2] == L'\\' &&
                       ((path[0] >= L'a' && path[0] <= L'z') || (path[0] >= L'A' && path[0] <= L'Z'));
    if (drive && !NeedsResolving(path, 3)) return Prefix + path;
    const bool share = path.size() > 2 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.';
    if (share && !NeedsResolving(path, 2)) return UncPrefix + path.substr(2);
    return path;
}

std::wstring FinalPath(void* handle) {
    // Called for every folder a walk enters: a small buffer first, the longest path only when needed.
    std::vector<wchar_t> final(1024);
    DWORD length = ::GetFinalPathNameByHandleW(handle, final.data(), 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= 1024 && length < 32768) {
        final.resize(length + 1);
        length = ::GetFinalPathNameByHandleW(handle, final.data(), length + 1, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    if (length == 0 || length >= final.size()) return std::wstring();
    return std::wstring(final.data(), length);
}

bool LiesOnADrive(void* handle) {
    const std::wstring path = FinalPath(handle);
    if (path.empty()) return true;  // cannot tell: as opened
    if (path.compare(0, UncPrefix.size(), UncPrefix) == 0) return true;
    return path.size() >= 7 && path.compare(0, Prefix.size(), Prefix) == 0 && path[5] == L':' && path[6] == L'\\' &&
           ((path[4] >= L'a' && path[4] <= L'z') || (path[4] >= L'A' && path[4] <= L'Z'));
}

std::wstring DisplayPath(const std::wstring& path) {
    if (path.compare(0, UncPrefix.size(), UncPrefix) == 0) return L"\\\\" + path.substr(UncPrefix.size());
    if (path.compare(0, Prefix.size(), Prefix) == 0) return path.substr(Prefix.size());
    return path;
}
