// The archive limits a user sets in refengine.ini, under [limits]; a key that is absent, zero or out of
// range keeps its default, so that a typing error never lifts a limit to nothing.
#include "refengine/containers/Archive.h"

#include <windows.h>

namespace RefEngine {
namespace {

uint64_t Setting(const std::wstring& file, const wchar_t* key, uint64_t fallback, uint64_t unit, uint64_t most) {
    const UINT value = ::GetPrivateProfileIntW(L"limits", key, 0, file.c_str());
    return value == 0 || value > most ? fallback : value * unit;
}

}  // namespace

ArchiveLimits LimitsFromSettings(const std::wstring& file) {
    ArchiveLimits limits;
    limits.maxMemberSize = Setting(file, L"member_mb", limits.maxMemberSize, Limits::MiB, 4096);
    limits.maxInMemory = Setting(file, L"in_memory_mb", limits.maxInMemory, Limits::MiB, 1024);
    limits.maxTotalUnpacked = Setting(file, L"total_mb", limits.maxTotalUnpacked, Limits::MiB, 1024 * 1024);
    limits.maxMembers = static_cast<uint32_t>(Setting(file, L"members", limits.maxMembers, 1, 10000000));
    limits.maxTotalMembers = static_cast<uint32_t>(Setting(file, L"total_members", limits.maxTotalMembers, 1, 10000000));
    limits.maxRatio = static_cast<uint32_t>(Setting(file, L"ratio", limits.maxRatio, 1, 100000));
    limits.maxDepth = static_cast<int>(Setting(file, L"depth", static_cast<uint64_t>(limits.maxDepth), 1, 64));
    return limits;
}

}  // namespace RefEngine
