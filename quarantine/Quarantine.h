// CQuarantine: the quarantine as a whole. One hidden "TER.QUAR" folder per disk holding one container
// per quarantined file, and an in-memory table of entries, loaded at construction by one thread per
// fixed disk. Signals are emitted on the thread that made the change, never under the store's lock.
#pragma once

#include "engine/AvCore.h"

#include <boost/function.hpp>
#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace Quarantine {

class CHeldFile;

// The threat name of the copy kept of a file that a restore replaced: nothing says it was infected.
const wchar_t ReplacedFileName[] = L"(replaced by a restore)";

struct Entry {
    std::wstring OriginalPath;
    int32_t Type = 0;
    std::wstring ThreatName;
    bool Curable = false;
    std::wstring ContainerPath;
    bool CodeIsOne = false;
    int64_t Time = 0;  // seconds since 1970 (UTC)
    int32_t OriginCode = 0;
    // The object's last write time when it was copied (FILETIME units): orders the copies of one
    // file that were taken within the same second (one before each cure round).
    uint64_t LastWriteTime = 0;
    // The container belongs to another user (see IsOwnFile): restored to its stored place only when
    // the user confirms it.
    bool Foreign = false;
};

// Older first: by time of quarantining, then by the object's last write time.
bool IsOlderCopy(const Entry& a, const Entry& b);

typedef std::map<int, Entry> EntryTable;

class CQuarantine : boost::noncopyable {
public:
    boost::signals2::signal<void(int, const Entry&)> entryAdded;
    boost::signals2::signal<void(int)> entryDeleted;
    boost::signals2::signal<void()> loadStarted;
    boost::signals2::signal<void()> loadFinished;

    // Attaches every fixed disk from c to z.
    CQuarantine();
    // Attaches exactly the given disk letters (for callers that choose the disks themselves).
    explicit CQuarantine(const std::wstring& disks);
    // Stops and joins the loader threads.
    ~CQuarantine();

    void AttachDisk(wchar_t disk);

    // Copies the threat's file into a new container, complete and flushed, and returns the new entry's
    // identifier (> 0). Throws QuarantineException, with its reason in plain words; then no file is
    // left behind and no entry is made. A held file is copied through its handle.
    int Add(const AvCore::Threat& threat, int originCode, const CHeldFile* held = nullptr);

    // A private copy of a held file in the quarantine folder of its disk, which an engine may change in
    // the file's place: made, handed to use, and removed (by the next start, after a crash). Throws
    // QuarantineException with its reason when it cannot be made.
    void WithWorkingCopy(const CHeldFile& held, const boost::function<void(const std::wstring&)>& use);

    enum class RestoreMode {
        NoOverwrite,  // fail when a file has the target's name
        Overwrite,    // replace it; a different file there is first copied into the quarantine
        FreeName      // write beside it as "name (2).ext", "name (3).ext", ...
    };
    // Writes the entry's object to the target and returns the path written; missing folders on the
    // way are created. The content is complete and flushed before it takes the name, under a
    // temporary name that no user file has and that the next start removes after a crash. The entry
    // and its container stay. Throws QuarantineException with its reason; a failed restore changes
    // nothing.
    std::wstring Restore(int identifier, const wchar_t* targetPath, RestoreMode mode);
    void Restore(int identifier, const wchar_t* targetPath, bool overwrite) {
        Restore(identifier, targetPath, overwrite ? RestoreMode::Overwrite : RestoreMode::NoOverwrite);
    }
    // Removes the entry and its container, read-only or not; true when the container is gone. When it
    // cannot be deleted the entry stays, and GetLastError() says why. An unknown identifier does nothing.
    bool Delete(int identifier);

    bool GetEntry(int identifier, Entry& out) const;
    void GetEntries(EntryTable& out) const;

    // True while any disk loader has not finished.
    bool IsLoading() const;

    // The GUID text that names a new container; replaceable so that tests can provoke name clashes.
    typedef boost::function<std::wstring()> GuidSource;
    void SetGuidSource(const GuidSource& source);

private:
    class PartialFile;
    // The disk whose quarantine takes a copy of the object: its own, or the first attached.
    wchar_t DiskFor(const std::wstring& object) const;
    void LoadDisk(wchar_t disk);
    void LoadFolder(wchar_t disk);
    void LoadContainer(const std::wstring& path);
    // Loaders and Add can both come upon a new container, and a loader can read a container that is
    // deleted before it registers it: one entry per container, none for a deleted one.
    enum class Origin { Loader, Add };
    int Register(const Entry& entry, Origin origin);
    // A partial container that this store is writing, which a loader must not take for a leftover.
    bool IsBeingWritten(const std::wstring& partialPath) const;
    std::wstring NewGuid() const;
    // Copies the file at a restore's target into the quarantine; the new entry's identifier.
    int KeepReplacedFile(const Entry& entry, const CHeldFile& target);

    EntryTable entries_;
    std::map<std::wstring, int> containerIds_;   // by lower-case container path
    std::set<std::wstring> deletedContainers_;   // lower-case paths, so that no loader brings them back
    std::set<std::wstring> partialsWritten_;     // lower-case paths of partial containers being written
    std::map<wchar_t, boost::shared_ptr<boost::thread>> disks_;
    mutable boost::mutex mutex_;
    int lastIdentifier_;
    int loaderCount_;
    bool idle_;
    GuidSource guidSource_;
};

// "X:\TER.QUAR\" for a disk letter.
std::wstring QuarantineFolder(wchar_t disk);

}  // namespace Quarantine
