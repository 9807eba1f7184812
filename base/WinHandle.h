// Sole owners of Win32 kernel, module and GDI handles: each closes its handle exactly once.
#pragma once

#include <windows.h>

#include <utility>

namespace Win {

template <typename Traits>
class UniqueHandle {
public:
    typedef typename Traits::Type Type;

    UniqueHandle() : handle_(Traits::Invalid()) {}
    explicit UniqueHandle(Type handle) : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    ~UniqueHandle() { Reset(); }

    Type Get() const { return handle_; }
    bool IsValid() const { return handle_ != Traits::Invalid(); }
    explicit operator bool() const { return IsValid(); }

    Type Release() {
        Type handle = handle_;
        handle_ = Traits::Invalid();
        return handle;
    }
    void Reset(Type handle = Traits::Invalid()) {
        if (IsValid()) Traits::Close(handle_);
        handle_ = handle;
    }

private:
    Type handle_;
};

struct FileHandleTraits {
    typedef HANDLE Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct KernelHandleTraits {
    typedef HANDLE Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::CloseHandle(h); }
};
struct FindHandleTraits {
    typedef HANDLE Type;
    static Type Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) { ::FindClose(h); }
};
struct ModuleHandleTraits {
    typedef HMODULE Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::FreeLibrary(h); }
};
template <typename T>
struct GdiObjectTraits {
    typedef T Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DeleteObject(h); }
};
struct IconTraits {
    typedef HICON Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DestroyIcon(h); }
};
struct CursorTraits {
    typedef HCURSOR Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DestroyCursor(h); }
};
struct MenuTraits {
    typedef HMENU Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::DestroyMenu(h); }
};
struct RegKeyTraits {
    typedef HKEY Type;
    static Type Invalid() { return nullptr; }
    static void Close(Type h) { ::RegCloseKey(h); }
};

typedef UniqueHandle<FileHandleTraits> FileHandle;    // CreateFileW results
typedef UniqueHandle<KernelHandleTraits> KernelHandle;  // events, threads, processes
typedef UniqueHandle<FindHandleTraits> FindHandle;
typedef UniqueHandle<ModuleHandleTraits> ModuleHandle;
typedef UniqueHandle<GdiObjectTraits<HBITMAP>> BitmapHandle;
typedef UniqueHandle<GdiObjectTraits<HFONT>> FontHandle;
typedef UniqueHandle<GdiObjectTraits<HBRUSH>> BrushHandle;
typedef UniqueHandle<IconTraits> IconHandle;
typedef UniqueHandle<CursorTraits> CursorHandle;
typedef UniqueHandle<MenuTraits> MenuHandle;
typedef UniqueHandle<RegKeyTraits> RegKey;

}  // namespace Win
