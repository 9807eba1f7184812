// The quarantine store: disk loaders, Add, Restore, Delete and the entry table.
#include "quarantine/Quarantine.h"

#include "base/DiagnosticLog.h"
#include "base/LiteralPath.h"
#include "base/Text.h"
#include "quarantine/Container.h"
#include "quarantine/FolderSecurity.h"
#include "quarantine/HeldFile.h"
#include "quarantine/SafePaths.h"
#include "quarantine/TemporaryFile.h"
#include "resources/resource.h"

#include <rpc.h>
#include <windows.h>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/filesystem.hpp>

#include <cwctype>
#include <vector>

namespace fs = boost::filesystem;

namespace Quarantine {
namespace {

const DWORD QuarantineFolderAttributes = 0x16;  // directory, system, hidden

std::wstring SystemGuid() {
    UUID uuid;
    if (::UuidCreate(&uuid) != RPC_S_OK) throw QuarantineException("Failed to create guid");
    RPC_WSTR text = nullptr;
    if (::UuidToStringW(&uuid, &text) != RPC_S_OK || !text) throw QuarantineException("Failed to convert guid to string");
    std::wstring result(reinterpret_cast<wchar_t*>(text));
    ::RpcStringFreeW(&text);
    return result;
}

// Creates the disk's quarantine folder, hidden and system, unless it is there already.
std::wstring WithoutBackslash(const std::wstring& folder);

// Makes the quarantine folder, or checks the one there: a link or junction (which would lead the
// users' copies anywhere) and a folder someone else owns are refused. Returns the folder's final path.
std::wstring EnsureQuarantineFolder(const std::wstring& folderWithBackslash) {
    // Without the trailing backslash, so that a plain file of that name is seen as one.
    const std::wstring folder = folderWithBackslash.substr(0, folderWithBackslash.size() - 1);
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    bool made = false;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        made = CreateQuarantineFolder(folder);
        const DWORD error = ::GetLastError();
        // Another thread's add may have made it a moment ago.
        attributes = ::GetFileAttributesW(folder.c_str());
        if (!made && (error != ERROR_ALREADY_EXISTS || attributes == INVALID_FILE_ATTRIBUTES)) throw IOError("CreateDirectoryW failed", error);
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) throw QuarantineException("File exists with a name of quarantine folder");
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        throw QuarantineException("The quarantine folder is a link", Reason(IDS_REASON_QUARANTINE_LINK, WithoutBackslash(folder)));
    if (!made && !IsOwnFile(folder))
        throw QuarantineException("The quarantine folder belongs to another user", Reason(IDS_REASON_QUARANTINE_FOREIGN, WithoutBackslash(folder)));
    if (made && !::SetFileAttributesW(folder.c_str(), QuarantineFolderAttributes)) ThrowLastError("SetFileAttributesW failed");
    Win::FileHandle opened(::CreateFileW(folder.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    return opened ? FinalPath(opened.Get()) : std::wstring();
}

// Whether a file's final path is the checked folder's and a name: a folder swapped for a link after
// the check would have put the file elsewhere.
bool LiesIn(const std::wstring& fileFinalPath, const std::wstring& folderFinalPath) {
    if (fileFinalPath.empty() || folderFinalPath.empty()) return true;  // nothing to compare: the folder check stands
    const size_t slash = fileFinalPath.find_last_of(L'\\');
    return slash != std::wstring::npos && LowerCase(fileFinalPath.substr(0, slash)) == LowerCase(folderFinalPath);
}

// Creates the folder and the missing ones above it, each by its literal name ("dir " and "nul" are
// folders like any other); true when the folder is there.
bool CreateFolders(const std::wstring& folder) {
    // Below the root: "X:\" or "\\server\share\".
    size_t root = folder.size() > 2 && folder[1] == L':' ? 3 : std::wstring::npos;
    if (folder.compare(0, 2, L"\\\\") == 0) {
        const size_t server = folder.find(L'\\', 2);
        root = server == std::wstring::npos ? std::wstring::npos : folder.find(L'\\', server + 1);
        if (root != std::wstring::npos) ++root;
    }
    if (root == std::wstring::npos) return false;
    std::vector<std::wstring> missing;
    for (std::wstring at = folder; at.size() >= root;) {
        const DWORD attributes = ::GetFileAttributesW(LiteralPath(at).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
            break;
        }
        missing.push_back(at);
        const size_t slash = at.find_last_of(L'\\');
        if (slash == std::wstring::npos || slash + 1 < root) break;
        at = at.substr(0, slash);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        if (!::CreateDirectoryW(LiteralPath(*it).c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return false;
    return true;
}

uint64_t FileTimeValue(const FILETIME& time) {
    return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

std::wstring WithoutBackslash(const std::wstring& folder) {
    return !folder.empty() && folder.back() == L'\\' ? folder.substr(0, folder.size() - 1) : folder;
}

// Why an add failed, in plain words. The texts of the exceptions are fixed, so they can be told apart.
Reason ExplainAddFailure(const std::exception& e, const std::wstring& folder) {
    const std::string what = e.what();
    auto says = [&what](const char* text) { return what.find(text) != std::string::npos; };
    if (says("File is too big")) return Reason(IDS_REASON_TOO_BIG);
    if (says("'OriginalPath' is too long")) return Reason(IDS_REASON_PATH_TOO_LONG);
    if (says("File exists with a name of quarantine folder"))
        return Reason(IDS_REASON_QUARANTINE_IS_FILE, WithoutBackslash(folder));
    if (says("File changed while it was being copied")) return Reason(IDS_REASON_FILE_CHANGED);
    if (says("No disks attached")) return Reason(IDS_REASON_NO_QUARANTINE);
    const IOError* io = dynamic_cast<const IOError*>(&e);
    // The source is opened, measured and read; every other call writes the quarantine.
    if (io && (says("CreateFileW") || says("GetFileSizeEx") || says("GetFileInformationByHandle") || says("ReadFile")))
        return SystemErrorReason(io->Code());
    if (io && (io->Code() == ERROR_DISK_FULL || io->Code() == ERROR_HANDLE_DISK_FULL)) return Reason(IDS_REASON_DISK_FULL);
    return Reason(IDS_REASON_QUARANTINE_UNWRITABLE, WithoutBackslash(folder));
}

// Why a restore to the target failed, in plain words.
Reason ExplainRestoreFailure(const std::exception& e, const std::wstring& target) {
    if (dynamic_cast<const InvalidIdentifier*>(&e)) return Reason(IDS_REASON_ENTRY_GONE);
    if (dynamic_cast<const CorruptedContainer*>(&e) || dynamic_cast<const InvalidParameter*>(&e))
        return Reason(IDS_REASON_CONTAINER_DAMAGED);
    if (const IOError* io = dynamic_cast<const IOError*>(&e)) return SystemErrorReason(io->Code());
    return Reason(IDS_REASON_CONTAINER_DAMAGED);
}

}  // namespace

bool IsOlderCopy(const Entry& a, const Entry& b) {
    if (a.Time != b.Time) return a.Time < b.Time;
    return a.LastWriteTime < b.LastWriteTime;
}

std::wstring QuarantineFolder(wchar_t disk) { return std::wstring(1, disk) + L":\\TER.QUAR\\"; }

CQuarantine::CQuarantine() : lastIdentifier_(0), loaderCount_(0), idle_(true), guidSource_(SystemGuid) {
    for (wchar_t letter = L'c'; letter <= L'z'; ++letter) {
        const wchar_t root[] = {letter, L':', L'\\', 0};
        if (::GetDriveTypeW(root) == DRIVE_FIXED) AttachDisk(letter);
    }
}

CQuarantine::CQuarantine(const std::wstring& disks)
    : lastIdentifier_(0), loaderCount_(0), idle_(true), guidSource_(SystemGuid) {
    for (wchar_t letter : disks) AttachDisk(letter);
}

CQuarantine::~CQuarantine() {
    std::map<wchar_t, boost::shared_ptr<boost::thread>> disks;
    {
        boost::mutex::scoped_lock lock(mutex_);
        disks = disks_;
    }
    for (auto& disk : disks) disk.second->interrupt();
    for (auto& disk : disks) disk.second->join();
}

void CQuarantine::AttachDisk(wchar_t disk) {
    AvCore::DebugLine() << L"CQuarantine::AttachDisk : disk='" << disk << L"'" << L'\n';
    const wchar_t letter = static_cast<wchar_t>(std::towlower(disk));
    {
        boost::mutex::scoped_lock lock(mutex_);
        if (disks_.find(letter) == disks_.end()) {
            // Counted under the lock, so a loader cannot finish before it is counted.
            disks_[letter].reset(new boost::thread(&CQuarantine::LoadDisk, this, letter));
            ++loaderCount_;
            return;
        }
    }
    AvCore::WarnLine() << L"Disk '" << disk << L"' is already attached" << L'\n';
}

void CQuarantine::LoadDisk(wchar_t disk) {
    bool startedLoad = false;
    {
        boost::mutex::scoped_lock lock(mutex_);
        if (idle_) {
            idle_ = false;
            startedLoad = true;
        }
    }
    if (startedLoad) loadStarted();
    try {
        LoadFolder(disk);
    } catch (...) {
    }
    {
        boost::mutex::scoped_lock lock(mutex_);
        if (--loaderCount_ > 0) return;
        idle_ = true;
    }
    loadFinished();
}

void CQuarantine::LoadFolder(wchar_t disk) {
    AvCore::DebugLine() << L"Loading disk: " << disk << L'\n';
    const fs::path folder = fs::path(std::wstring(1, disk) + L":\\") / L"TER.QUAR";
    AvCore::DebugLine() << L"Quarantine folder: " << folder.wstring() << L'\n';
    try {
        boost::this_thread::interruption_point();
        for (fs::directory_iterator it(folder), end; it != end;) {
            boost::this_thread::interruption_point();
            boost::system::error_code statusError;
            if (fs::is_regular_file(it->status(statusError))) {
                const fs::path path = it->path();
                const std::wstring extension = path.extension().wstring();
                if (boost::algorithm::iequals(extension, L".!tqr")) {
                    if (IsBeingWritten(path.wstring())) {
                        ++it;
                        continue;
                    }
                    AvCore::WarnLine() << L"Partially created quarantine container found. Deleting. : "
                                       << path.wstring() << L'\n';
                    boost::system::error_code ignored;
                    fs::remove(path, ignored);
                } else if (boost::algorithm::iequals(extension, L".tqr")) {
                    std::wstring container = path.wstring();
                    container[0] = static_cast<wchar_t>(std::towupper(container[0]));  // "D:\...", as shown elsewhere
                    LoadContainer(container);
                } else if (boost::algorithm::iequals(extension, TemporaryRecordExtension)) {
                    AvCore::WarnLine() << L"Temporary file of an interrupted restore found. Deleting. : "
                                       << path.wstring() << L'\n';
                    RemoveLeftoverTemporary(path.wstring());
                }
            }
            boost::this_thread::interruption_point();
            ++it;
        }
    } catch (const fs::filesystem_error&) {
        // A missing or unreadable folder contributes no entries.
    }
}

void CQuarantine::LoadContainer(const std::wstring& path) {
    AvCore::DebugLine() << L"Loading container: " << path << L'\n';
    Entry entry;
    try {
        // Closed before the entry is announced, so that whoever deletes it at once can.
        CContainerReader reader(path);
        const ContainerObject* object = reader.Object(0);
        if (!object) throw QuarantineException("Container has no objects");
        entry.OriginalPath = object->originalPath;
        entry.Type = static_cast<int32_t>(object->type);
        entry.Curable = object->curable;
        entry.CodeIsOne = object->codeIsOne;
        entry.ThreatName = reader.ThreatName();
        entry.Time = reader.CreationTime();
        entry.OriginCode = reader.OriginCode();
        entry.ContainerPath = path;
        entry.LastWriteTime = FileTimeValue(object->lastWriteTime);
    } catch (const QuarantineException& e) {
        AvCore::WarnLine() << L"Failed to load container : " << e.what() << L'\n';
        return;
    }
    entry.Foreign = !IsOwnFile(path);
    Register(entry, Origin::Loader);
}

int CQuarantine::Register(const Entry& entry, Origin origin) {
    const std::wstring key = LowerCase(entry.ContainerPath);
    int identifier;
    {
        boost::mutex::scoped_lock lock(mutex_);
        const auto known = containerIds_.find(key);
        if (known != containerIds_.end()) return known->second;
        if (origin == Origin::Loader && deletedContainers_.count(key)) return 0;
        deletedContainers_.erase(key);
        identifier = ++lastIdentifier_;
        entries_[identifier] = entry;
        containerIds_[key] = identifier;
    }
    entryAdded(identifier, entry);
    return identifier;
}

bool CQuarantine::IsBeingWritten(const std::wstring& partialPath) const {
    boost::mutex::scoped_lock lock(mutex_);
    return partialsWritten_.count(LowerCase(partialPath)) != 0;
}

std::wstring CQuarantine::NewGuid() const {
    GuidSource source;
    {
        boost::mutex::scoped_lock lock(mutex_);
        source = guidSource_;
    }
    return source();
}

void CQuarantine::SetGuidSource(const GuidSource& source) {
    boost::mutex::scoped_lock lock(mutex_);
    guidSource_ = source ? source : GuidSource(SystemGuid);
}

wchar_t CQuarantine::DiskFor(const std::wstring& object) const {
    if (object.size() > 2 && object[1] == L':' && object[0] != 0) return object[0];
    boost::mutex::scoped_lock lock(mutex_);
    if (disks_.empty()) throw QuarantineException("No disks attached");
    return disks_.begin()->first;
}

// A file this store is writing in a quarantine folder, which no loader may take for a leftover, from
// construction to destruction.
class CQuarantine::PartialFile : boost::noncopyable {
public:
    PartialFile(CQuarantine& store, const std::wstring& path) : store_(store), key_(LowerCase(path)) {
        boost::mutex::scoped_lock lock(store_.mutex_);
        store_.partialsWritten_.insert(key_);
    }
    ~PartialFile() {
        boost::mutex::scoped_lock lock(store_.mutex_);
        store_.partialsWritten_.erase(key_);
    }

private:
    CQuarantine& store_;
    std::wstring key_;
};

int CQuarantine::Add(const AvCore::Threat& threat, int originCode, const CHeldFile* held) {
    AvCore::DebugLine() << L"[Add]" << L'\n';
    const std::wstring& object = threat.object;
    std::wstring folder = L"TER.QUAR";
    try {
        const wchar_t disk = DiskFor(object);
        const std::wstring guid = NewGuid();
        folder = QuarantineFolder(disk);
        const std::wstring checked = EnsureQuarantineFolder(folder);
        const std::wstring finalPath = folder + guid + L".tqr";
        const std::wstring partialPath = folder + guid + L".!tqr";
        PartialFile partialWritten(*this, partialPath);

        ContainerObject copied;
        int64_t time;
        try {
            CContainerWriter writer(partialPath, threat.name, originCode);
            if (!LiesIn(writer.FinalPath(), checked))
                throw QuarantineException("The quarantine folder is a link", Reason(IDS_REASON_QUARANTINE_LINK, WithoutBackslash(folder)));
            copied = writer.AddObject(object, threat.type, threat.curable, threat.codeIsOne,
                                      held ? held->Get() : INVALID_HANDLE_VALUE);
            // Complete on disk before the name says so, and before anything may change the original.
            writer.Flush();
            time = writer.CreationTime();
        } catch (...) {
            ::DeleteFileW(partialPath.c_str());
            throw;
        }
        if (!::MoveFileExW(partialPath.c_str(), finalPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD error = ::GetLastError();
            ::DeleteFileW(partialPath.c_str());
            throw IOError("MoveFileExW failed", error);
        }

        Entry entry;
        entry.OriginalPath = object;
        entry.Type = static_cast<int32_t>(threat.type);
        entry.ThreatName = threat.name;
        entry.Curable = threat.curable;
        entry.ContainerPath = finalPath;
        entry.CodeIsOne = threat.codeIsOne;
        entry.Time = time;
        entry.OriginCode = originCode;
        entry.LastWriteTime = FileTimeValue(copied.lastWriteTime);
        return Register(entry, Origin::Add);
    } catch (QuarantineException& e) {
        if (!e.reason) e.reason = ExplainAddFailure(e, folder);
        throw;
    } catch (const std::exception& e) {
        // "Failed to create file" of the writer is a plain runtime_error: give it the same reason.
        throw QuarantineException(e.what(), ExplainAddFailure(e, folder));
    }
}

void CQuarantine::WithWorkingCopy(const CHeldFile& held, const boost::function<void(const std::wstring&)>& use) {
    std::wstring folder = L"TER.QUAR";
    try {
        folder = QuarantineFolder(DiskFor(held.Path()));
        EnsureQuarantineFolder(folder);
        // Named as a partial container, so that one a crash left behind goes at the next start.
        const std::wstring path = folder + NewGuid() + L".!tqr";
        PartialFile registered(*this, path);
        struct Removed {
            const std::wstring& path;
            ~Removed() {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } removed{path};
        held.CopyTo(path);
        use(path);
    } catch (QuarantineException& e) {
        if (!e.reason) e.reason = ExplainAddFailure(e, folder);
        throw;
    }
}

int CQuarantine::KeepReplacedFile(const Entry& entry, const CHeldFile& target) {
    AvCore::Threat replaced;
    replaced.name = ReplacedFileName;
    replaced.object = target.Path();
    replaced.type = AvCore::File;
    replaced.curable = entry.Curable;
    replaced.codeIsOne = entry.CodeIsOne;
    try {
        return Add(replaced, Format::OwnOriginCode, &target);
    } catch (const QuarantineException& e) {
        throw QuarantineException("The file at the target could not be kept",
                                  Reason(IDS_REASON_KEEP_REPLACED, ReasonText(e.reason)));
    }
}

std::wstring CQuarantine::Restore(int identifier, const wchar_t* targetPath, RestoreMode mode) {
    AvCore::DebugLine() << L"[Restore] : id=" << identifier << L'\n';
    const std::wstring requested = targetPath ? targetPath : L"";
    try {
        Entry entry;
        {
            boost::mutex::scoped_lock lock(mutex_);
            EntryTable::const_iterator it = entries_.find(identifier);
            if (it == entries_.end()) throw InvalidIdentifier(identifier);
            entry = it->second;
        }
        CContainerReader reader(entry.ContainerPath);
        const ContainerObject* object = reader.Object(0);
        if (!object) throw QuarantineException("Container has no objects to restore");
        if (object->type != Format::FileObjectType) throw QuarantineException("Cannot restore object of this type");
        const fs::path parent = fs::path(requested).parent_path();
        if (!parent.empty() && !CreateFolders(parent.wstring()))
            throw QuarantineException("Failed to create destination folder",
                                      Reason(IDS_REASON_FOLDER_NOT_CREATED, parent.wstring()));

        // The record of the temporary file goes to the quarantine folder of the target's own drive,
        // where the next start honours it; a share has none and keeps the container's.
        std::wstring journal = fs::path(entry.ContainerPath).parent_path().wstring();
        if (requested.size() > 2 && requested[1] == L':') {
            try {
                EnsureQuarantineFolder(QuarantineFolder(requested[0]));
                journal = QuarantineFolder(requested[0]);
            } catch (const QuarantineException&) {
            }
        }
        CTemporaryFile temporary(journal, parent.empty() ? std::wstring(L".") : parent.wstring(), NewGuid());
        if (mode == RestoreMode::Overwrite) {
            const DWORD attributes = ::GetFileAttributesW(LiteralPath(requested).c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
                reader.Extract(0, requested, false, temporary.Path());
                return requested;
            }
            // Held from its copy until it is replaced: an edit made meanwhile fails for its program
            // instead of being written over.
            const std::unique_ptr<CHeldFile> holding = HoldFile(requested, CHeldFile::Access::ReadOnly);
            CHeldFile& present = *holding;
            const int kept = reader.SameContent(0, present.Get()) ? 0 : KeepReplacedFile(entry, present);
            try {
                CTemporaryFile aside(journal, parent.empty() ? std::wstring(L".") : parent.wstring(), NewGuid());
                reader.Extract(0, requested, true, temporary.Path(), &present, aside.Path());
            } catch (...) {
                // The file there is back as it was (it was held): its copy is not needed.
                if (kept && present.Path() == requested) Delete(kept);
                throw;
            }
            return requested;
        }
        if (mode == RestoreMode::NoOverwrite) {
            reader.Extract(0, requested, false, temporary.Path());
            return requested;
        }
        const std::wstring name = fs::path(requested).filename().wstring();
        for (int n = 1; n <= 9999; ++n) {
            const std::wstring candidate = n == 1 ? requested : (parent / NumberedName(name, n)).wstring();
            try {
                reader.Extract(0, candidate, false, temporary.Path());
                return candidate;
            } catch (const IOError& e) {
                if (e.Code() != ERROR_FILE_EXISTS) throw;
            }
        }
        throw QuarantineException("No free name", Reason(IDS_REASON_NO_FREE_NAME, parent.wstring()));
    } catch (QuarantineException& e) {
        if (!e.reason) e.reason = ExplainRestoreFailure(e, requested);
        throw;
    }
}

bool CQuarantine::Delete(int identifier) {
    AvCore::DebugLine() << L"[Delete] : id=" << identifier << L'\n';
    Entry entry;
    std::wstring key;
    {
        boost::mutex::scoped_lock lock(mutex_);
        EntryTable::iterator it = entries_.find(identifier);
        if (it == entries_.end()) return true;
        entry = it->second;
        entries_.erase(it);
        key = LowerCase(entry.ContainerPath);
        containerIds_.erase(key);
        deletedContainers_.insert(key);
    }
    const DWORD attributes = ::GetFileAttributesW(entry.ContainerPath.c_str());
    ::SetFileAttributesW(entry.ContainerPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    // A deletion the system accepted may still not happen (a file the file system keeps from
    // deletion): only a name that is gone counts. A name whose deletion is pending reads as denied.
    const bool deleted = ::DeleteFileW(entry.ContainerPath.c_str()) != FALSE;
    const DWORD error = deleted ? (::GetFileAttributesW(entry.ContainerPath.c_str()) == INVALID_FILE_ATTRIBUTES ? ERROR_FILE_NOT_FOUND
                                                                                                               : ERROR_ACCESS_DENIED)
                                : ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        // Still there: still an entry, as the next start would find it.
        if (attributes != INVALID_FILE_ATTRIBUTES) ::SetFileAttributesW(entry.ContainerPath.c_str(), attributes);
        {
            boost::mutex::scoped_lock lock(mutex_);
            entries_[identifier] = entry;
            containerIds_[key] = identifier;
            deletedContainers_.erase(key);
        }
        ::SetLastError(error);
        return false;
    }
    entryDeleted(identifier);
    return true;
}

bool CQuarantine::GetEntry(int identifier, Entry& out) const {
    boost::mutex::scoped_lock lock(mutex_);
    EntryTable::const_iterator it = entries_.find(identifier);
    if (it == entries_.end()) return false;
    out = it->second;
    return true;
}

void CQuarantine::GetEntries(EntryTable& out) const {
    boost::mutex::scoped_lock lock(mutex_);
    out = entries_;
}

bool CQuarantine::IsLoading() const {
    boost::mutex::scoped_lock lock(mutex_);
    return loaderCount_ > 0;
}

}  // namespace Quarantine
