// A folder open for listing: its entries read through its handle (each with its file index), its
// subfolders opened by name relative to it. A walk so pays the same for a folder at any depth, where
// an open by full path, or a question about an open folder's name or index, resolves every folder on
// the way again (Wine: once per component, each time).
#pragma once

#include "base/WinHandle.h"

#include <windows.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

class OpenFolder {
public:
    struct Entry {
        std::wstring name;
        DWORD attributes = 0;
        uint64_t size = 0;
        uint64_t fileId = 0;  // the file system's number for it (its inode under Wine); 0 when it keeps none
    };

    // By its full path (following links); null with the system's error code when it cannot be opened.
    static std::unique_ptr<OpenFolder> Open(const std::wstring& path, DWORD& error);
    // A subfolder by its name, through this folder's handle (a link in it is followed).
    std::unique_ptr<OpenFolder> OpenChild(const std::wstring& name, DWORD& error) const;

    // The next entry ("." and ".." left out); false at the end (error 0) or when listing failed.
    bool Next(Entry& entry, DWORD& error);
    HANDLE Get() const { return handle_.Get(); }

private:
    explicit OpenFolder(HANDLE handle) : handle_(handle) {}
    Win::FileHandle handle_;
    std::deque<Entry> pending_;  // the rest of the last batch the system gave
    bool ended_ = false;
};
