// Helpers shared by the quarantine tests.
#pragma once

#include "tests/support/Sandbox.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace TestSupport {

inline FILETIME MakeFileTime(uint64_t value) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(value);
    time.dwHighDateTime = static_cast<DWORD>(value >> 32);
    return time;
}
inline uint64_t ToU64(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

inline void SetTimes(const std::wstring& path, uint64_t creation, uint64_t access, uint64_t write) {
    HANDLE file = ::CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const FILETIME c = MakeFileTime(creation), a = MakeFileTime(access), w = MakeFileTime(write);
    ::SetFileTime(file, &c, &a, &w);
    ::CloseHandle(file);
}

inline WIN32_FILE_ATTRIBUTE_DATA FileInfo(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA info = {};
    ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info);
    return info;
}

// Windows keeps a creation time given with SetFileTime; Wine reads it back as the last write time.
inline bool PlatformKeepsCreationTimes() {
    ScratchFolder folder;
    const std::wstring probe = folder / L"probe";
    WriteFile(probe, "x");
    SetTimes(probe, 130000000000000000ull, 131000000000000000ull, 132000000000000000ull);
    return ToU64(FileInfo(probe).ftCreationTime) == 130000000000000000ull;
}

inline uint64_t FileSize(const std::wstring& path) {
    const WIN32_FILE_ATTRIBUTE_DATA info = FileInfo(path);
    return (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// A file of the given size, zero-filled, made without writing every byte.
inline void MakeSizedFile(const std::wstring& path, uint64_t size) {
    WriteFile(path, "");
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(size);
    ::SetFilePointerEx(file, distance, nullptr, FILE_BEGIN);
    ::SetEndOfFile(file);
    ::CloseHandle(file);
}

// Content that differs from file to file and byte to byte.
inline std::string PatternContent(size_t size, unsigned seed) {
    std::string content(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        content[i] = static_cast<char>(state >> 24);
    }
    return content;
}

}  // namespace TestSupport
