// The few Windows calls the engine's sources make, over POSIX, so that they build natively with the
// sanitizers and a coverage-guided fuzzer (none of which run inside the 32-bit Windows build). Files
// and folders, the engine's hashing library (through OpenSSL), interlocked reads and text helpers; the
// handle types of framework/WinHandle.h that the engine never uses are declared and do nothing.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

typedef int BOOL;
typedef uint32_t DWORD, ULONG, UINT;
typedef int32_t LONG, NTSTATUS;
typedef int64_t LONGLONG;
typedef unsigned char UCHAR, *PUCHAR;
typedef const wchar_t *LPCWSTR;
typedef void *HANDLE, *HMODULE, *HBITMAP, *HFONT, *HBRUSH, *HICON, *HCURSOR, *HMENU, *HKEY, *HGDIOBJ;
typedef void (*FARPROC)();
#ifndef ZIP7_INC_MY_WINDOWS_H  // 7-Zip's own declarations of these, where its sources come first
union LARGE_INTEGER {
    LONGLONG QuadPart;
};
#endif
#ifndef WINAPI
#define WINAPI
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000u
#endif
#ifndef GENERIC_WRITE
#define GENERIC_WRITE 0x40000000u
#endif
#ifndef FILE_SHARE_READ
#define FILE_SHARE_READ 1u
#endif
#ifndef FILE_SHARE_WRITE
#define FILE_SHARE_WRITE 2u
#endif
#ifndef OPEN_EXISTING
#define OPEN_EXISTING 3u
#endif
#ifndef FILE_FLAG_SEQUENTIAL_SCAN
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000u
#endif
#ifndef FILE_ATTRIBUTE_DIRECTORY
#define FILE_ATTRIBUTE_DIRECTORY 0x10u
#endif
#ifndef FILE_ATTRIBUTE_NORMAL
#define FILE_ATTRIBUTE_NORMAL 0x80u
#endif
#ifndef FILE_BEGIN
#define FILE_BEGIN 0u
#endif
#ifndef CP_UTF8
#define CP_UTF8 65001u
#endif
#ifndef LOCALE_USER_DEFAULT
#define LOCALE_USER_DEFAULT 0x400u
#endif
#ifndef LCMAP_LOWERCASE
#define LCMAP_LOWERCASE 0x100u
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8u
#endif
#ifndef ERROR_FILE_NOT_FOUND
#define ERROR_FILE_NOT_FOUND 2u
#endif

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    DWORD nFileSizeHigh, nFileSizeLow;
    wchar_t cFileName[MAX_PATH];
};

namespace NativePlatform {

inline std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out += *text == L'\\' ? '/' : static_cast<char>(*text < 0x80 ? *text : '?');
    return out;
}
inline HANDLE FromFd(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1); }
inline int ToFd(HANDLE h) { return static_cast<int>(reinterpret_cast<intptr_t>(h) - 1); }
inline DWORD& LastError() {
    static thread_local DWORD error = 0;
    return error;
}

struct Finder {
    DIR* dir;
    std::string folder;
};
inline bool NextEntry(Finder* finder, WIN32_FIND_DATAW* data) {
    while (dirent* entry = ::readdir(finder->dir)) {
        const std::string name = entry->d_name;
        struct stat info;
        if (::stat((finder->folder + "/" + name).c_str(), &info) != 0) continue;
        data->dwFileAttributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
        data->nFileSizeHigh = static_cast<DWORD>(static_cast<uint64_t>(info.st_size) >> 32);
        data->nFileSizeLow = static_cast<DWORD>(info.st_size);
        size_t i = 0;
        for (; i < name.size() && i + 1 < MAX_PATH; ++i) data->cFileName[i] = static_cast<unsigned char>(name[i]);
        data->cFileName[i] = 0;
        return true;
    }
    return false;
}

// The engine's hashing library: the functions it looks up, over OpenSSL.
FARPROC HashFunction(const char* name);

}  // namespace NativePlatform

inline DWORD GetLastError() { return NativePlatform::LastError(); }

// A temporary file, for a member kept outside memory: made new, and gone once closed.
#define CREATE_NEW 1u
#define FILE_ATTRIBUTE_TEMPORARY 0x100u
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000u
#define ERROR_FILE_EXISTS 80u
#define ERROR_ALREADY_EXISTS 183u
inline HANDLE CreateFileW(const wchar_t* path, DWORD access, DWORD, void*, DWORD disposition, DWORD flags, HANDLE) {
    const std::string name = NativePlatform::Narrow(path);
    const int fd = ::open(name.c_str(), (access & GENERIC_WRITE ? O_RDWR : O_RDONLY) | (disposition == CREATE_NEW ? O_CREAT | O_EXCL : 0), 0600);
    if (fd < 0) {
        NativePlatform::LastError() = errno == EEXIST ? ERROR_FILE_EXISTS : ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    if (flags & FILE_FLAG_DELETE_ON_CLOSE) ::unlink(name.c_str());
    return NativePlatform::FromFd(fd);
}
inline DWORD GetTempPathW(DWORD size, wchar_t* out) {
    const wchar_t folder[] = L"/tmp/";
    if (size < sizeof folder / sizeof *folder) return 0;
    for (size_t i = 0; i < sizeof folder / sizeof *folder; ++i) out[i] = folder[i];
    return sizeof folder / sizeof *folder - 1;
}
inline DWORD GetCurrentProcessId() { return static_cast<DWORD>(::getpid()); }
// Only the offset of an OVERLAPPED is used: reads at it, as a synchronous handle does.
struct OVERLAPPED {
    uintptr_t Internal, InternalHigh;
    DWORD Offset, OffsetHigh;
    HANDLE hEvent;
};
#define ERROR_HANDLE_EOF 38u
inline BOOL ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* got, OVERLAPPED* at) {
    const int fd = NativePlatform::ToFd(file);
    const ssize_t n = at ? ::pread(fd, buffer, size, static_cast<off_t>((static_cast<uint64_t>(at->OffsetHigh) << 32) | at->Offset))
                         : ::read(fd, buffer, size);
    if (got) *got = n > 0 ? static_cast<DWORD>(n) : 0;
    return n >= 0;
}
inline BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER to, LARGE_INTEGER*, DWORD) {
    return ::lseek(NativePlatform::ToFd(file), to.QuadPart, SEEK_SET) >= 0;
}
inline BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size) {
    struct stat info;
    if (::fstat(NativePlatform::ToFd(file), &info) != 0) return 0;
    size->QuadPart = info.st_size;
    return 1;
}
inline BOOL CloseHandle(HANDLE file) { return ::close(NativePlatform::ToFd(file)) == 0; }
// Writing, for the update's base files (the fuzz targets write none; they only have to build).
#ifndef FILE_SHARE_DELETE
#define FILE_SHARE_DELETE 4u
#endif
#ifndef CREATE_ALWAYS
#define CREATE_ALWAYS 2u
#endif
#ifndef ERROR_DISK_FULL
#define ERROR_DISK_FULL 112u
#endif
#ifndef ERROR_HANDLE_DISK_FULL
#define ERROR_HANDLE_DISK_FULL 39u
#endif
inline BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, OVERLAPPED*) {
    const ssize_t n = ::write(NativePlatform::ToFd(file), data, size);
    if (written) *written = n > 0 ? static_cast<DWORD>(n) : 0;
    return n >= 0;
}
inline BOOL FlushFileBuffers(HANDLE) { return 1; }
inline BOOL DeleteFileW(const wchar_t* path) { return ::unlink(NativePlatform::Narrow(path).c_str()) == 0; }

inline HANDLE FindFirstFileW(const wchar_t* pattern, WIN32_FIND_DATAW* data) {
    std::string folder = NativePlatform::Narrow(pattern);
    folder = folder.substr(0, folder.rfind('/'));  // the pattern is always "folder\*"
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return INVALID_HANDLE_VALUE;
    auto* finder = new NativePlatform::Finder{dir, folder};
    if (!NativePlatform::NextEntry(finder, data)) {
        ::closedir(dir);
        delete finder;
        return INVALID_HANDLE_VALUE;
    }
    return finder;
}
inline BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data) {
    return NativePlatform::NextEntry(static_cast<NativePlatform::Finder*>(find), data);
}
inline BOOL FindClose(HANDLE find) {
    auto* finder = static_cast<NativePlatform::Finder*>(find);
    ::closedir(finder->dir);
    delete finder;
    return 1;
}

inline UINT GetPrivateProfileIntW(const wchar_t*, const wchar_t*, int fallback, const wchar_t*) { return static_cast<UINT>(fallback); }

// The engine keeps its flags in longs, as Windows declares these.
inline long InterlockedCompareExchange(volatile long* target, long exchange, long comparand) {
    return __sync_val_compare_and_swap(target, comparand, exchange);
}
inline long InterlockedExchange(volatile long* target, long value) { return __sync_lock_test_and_set(target, value); }

#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
inline HMODULE LoadLibraryExW(const wchar_t* name, HANDLE, DWORD) {
    return std::wcscmp(name, L"bcrypt.dll") == 0 ? reinterpret_cast<HMODULE>(1) : nullptr;
}
inline FARPROC GetProcAddress(HMODULE module, const char* name) {
    return module ? NativePlatform::HashFunction(name) : nullptr;
}
inline BOOL FreeLibrary(HMODULE) { return 1; }

inline int WideCharToMultiByte(UINT, DWORD, const wchar_t* text, int length, char* out, int size, const char*, BOOL*) {
    std::string bytes;
    for (int i = 0; i < length; ++i) {
        const uint32_t c = static_cast<uint32_t>(text[i]);
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if (c < 0x800) {
            bytes += static_cast<char>(0xC0 | (c >> 6));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            bytes += static_cast<char>(0xE0 | ((c >> 12) & 0x0F));
            bytes += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (out && size >= static_cast<int>(bytes.size())) std::memcpy(out, bytes.data(), bytes.size());
    return static_cast<int>(bytes.size());
}
#define MB_ERR_INVALID_CHARS 8u
// UTF-8 to code points; 0 when the bytes are not UTF-8 (as with MB_ERR_INVALID_CHARS).
inline int MultiByteToWideChar(UINT, DWORD, const char* text, int length, wchar_t* out, int size) {
    int count = 0;
    for (int i = 0; i < length;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : -1;
        if (extra < 0 || i + extra >= length + (extra == 0 ? 1 : 0)) return 0;
        uint32_t value = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next >> 6) != 2) return 0;
            value = (value << 6) | (next & 0x3F);
        }
        if (out && count < size) out[count] = static_cast<wchar_t>(value);
        ++count;
        i += extra + 1;
    }
    return count;
}
inline int LCMapStringW(DWORD, DWORD, const wchar_t* in, int length, wchar_t* out, int) {
    for (int i = 0; i < length; ++i) out[i] = in[i] >= L'A' && in[i] <= L'Z' ? in[i] + 32 : in[i];
    return length;
}

// Declared for framework/WinHandle.h; the engine holds none of these.
inline BOOL DeleteObject(HGDIOBJ) { return 1; }
inline BOOL DestroyIcon(HICON) { return 1; }
inline BOOL DestroyCursor(HCURSOR) { return 1; }
inline BOOL DestroyMenu(HMENU) { return 1; }
inline LONG RegCloseKey(HKEY) { return 0; }
