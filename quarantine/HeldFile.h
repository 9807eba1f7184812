// A user's file held while the program changes it on the user's behalf (a cure, a deletion, a restore
// over it): one handle that reads, renames and removes it, and writes it when asked, while no other
// program may write, rename or delete it. So what was copied into the quarantine through the handle is
// exactly what gets changed; another program's write in between fails for that program instead of
// being lost without a copy.
#pragma once

#include "base/WinHandle.h"

#include <boost/noncopyable.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace Quarantine {

class CHeldFile : boost::noncopyable {
public:
    enum class Access { ReadOnly, ReadWrite };

    // Holds the file; throws IOError with the system's code (in use, access denied, not found; a
    // read-only file cannot be held for writing).
    CHeldFile(const std::wstring& path, Access access);

    HANDLE Get() const { return file_.Get(); }
    const std::wstring& Path() const { return path_; }

    // Copies the whole content into a new file (never over an existing one), flushed.
    void CopyTo(const std::wstring& newPath) const;
    // Gives the file the content of the file at the path: written from the start, cut to its length,
    // flushed; true when that changed the content. A missing file at the path removes the held file.
    // Needs ReadWrite.
    bool TakeContentOf(const std::wstring& path);
    // Renames it, within its disk, never over another file.
    void Rename(const std::wstring& newPath);
    // Removes it (read-only or not) when the handle closes, which Release does at once.
    void Remove();
    void Release() { file_.Reset(); }

private:
    std::wstring path_;
    Win::FileHandle file_;
};

// Holds the file, waiting a moment (about a quarter of a second at most) while another program has it
// open for a brief write, as a program appending to a log does; then as the constructor.
std::unique_ptr<CHeldFile> HoldFile(const std::wstring& path, CHeldFile::Access access);

}  // namespace Quarantine
