// The quarantine store: disk loaders, Add, Restore, Delete and the entry table.
#include "quarantine/Quarantine.h"

#include "engine/DiagnosticLog.h"
#include "quarantine/Container.h"

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
void EnsureQuarantineFolder(const std::wstring& folderWithBackslash) {
    // Without the trailing backslash, so that a plain file of that name is seen as one.
    const std::wstring folder = folderWithBackslash.substr(0, folderWithBackslash.size() - 1);
    DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (::CreateDirectoryW(folder.c_str(), nullptr)) {
            if (!::SetFileAttributesW(folder.c_str(), QuarantineFolderAttributes))
                ThrowLastError("SetFileAttributesW failed");
            return;
        }
        const DWORD error = ::GetLastError();
        // Another thread's add may have made it a moment ago.
        attributes = ::GetFileAttributesW(folder.c_str());
        if (error != ERROR_ALREADY_EXISTS || attributes == INVALID_FILE_ATTRIBUTES)
            throw IOError("CreateDirectoryW failed", error);
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        throw QuarantineException("File exists with a name of quarantine folder");
}

}  // namespace

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
                    AvCore::WarnLine() << L"Partially created quarantine container found. Deleting. : "
                                       << path.wstring() << L'\n';
                    boost::system::error_code ignored;
                    fs::remove(path, ignored);
                } else if (boost::algorithm::iequals(extension, L".tqr")) {
                    LoadContainer(path.wstring());
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
    try {
        CContainerReader reader(path);
        const ContainerObject* object = reader.Object(0);
        if (!object) throw QuarantineException("Container has no objects");
        Entry entry;
        entry.OriginalPath = object->originalPath;
        entry.Type = static_cast<int32_t>(object->type);
        entry.Curable = object->curable;
        entry.CodeIsOne = object->codeIsOne;
        entry.ThreatName = reader.ThreatName();
        entry.Time = reader.CreationTime();
        entry.OriginCode = reader.OriginCode();
        entry.ContainerPath = path;
        Register(entry);
    } catch (const QuarantineException& e) {
        AvCore::WarnLine() << L"Failed to load container : " << e.what() << L'\n';
    }
}

int CQuarantine::Register(const Entry& entry) {
    int identifier;
    {
        boost::mutex::scoped_lock lock(mutex_);
        identifier = ++lastIdentifier_;
        entries_[identifier] = entry;
    }
    entryAdded(identifier, entry);
    return identifier;
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

int CQuarantine::Add(const AvCore::Threat& threat, int originCode) {
    AvCore::DebugLine() << L"[Add]" << L'\n';
    wchar_t disk;
    const std::wstring& object = threat.object;
    if (object.size() > 2 && object[1] == L':' && object[0] != 0) {
        disk = object[0];
    } else {
        boost::mutex::scoped_lock lock(mutex_);
        if (disks_.empty()) throw QuarantineException("No disks attached");
        disk = disks_.begin()->first;
    }
    const std::wstring guid = NewGuid();
    const std::wstring folder = QuarantineFolder(disk);
    EnsureQuarantineFolder(folder);
    const std::wstring finalPath = folder + guid + L".tqr";
    const std::wstring partialPath = folder + guid + L".!tqr";

    int64_t time;
    try {
        CContainerWriter writer(partialPath, threat.name, originCode);
        writer.AddObject(object, threat.type, threat.curable, threat.codeIsOne);
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
    return Register(entry);
}

void CQuarantine::Restore(int identifier, const wchar_t* targetPath, bool overwrite) {
    AvCore::DebugLine() << L"[Restore] : id=" << identifier << L'\n';
    std::wstring containerPath;
    {
        boost::mutex::scoped_lock lock(mutex_);
        EntryTable::const_iterator it = entries_.find(identifier);
        if (it == entries_.end()) throw InvalidIdentifier(identifier);
        containerPath = it->second.ContainerPath;
    }
    CContainerReader reader(containerPath);
    const ContainerObject* object = reader.Object(0);
    if (!object) throw QuarantineException("Container has no objects to restore");
    if (object->type != Format::FileObjectType) throw QuarantineException("Cannot restore object of this type");
    try {
        const fs::path parent = fs::path(targetPath).parent_path();
        if (!parent.empty() && !fs::exists(parent)) fs::create_directories(parent);
    } catch (const fs::filesystem_error&) {
        throw QuarantineException("Failed to create destination folder");
    }
    reader.Extract(0, targetPath, overwrite);
}

void CQuarantine::Delete(int identifier) {
    AvCore::DebugLine() << L"[Delete] : id=" << identifier << L'\n';
    std::wstring containerPath;
    {
        boost::mutex::scoped_lock lock(mutex_);
        EntryTable::iterator it = entries_.find(identifier);
        if (it == entries_.end()) return;
        containerPath = it->second.ContainerPath;
        entries_.erase(it);
    }
    ::SetFileAttributesW(containerPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(containerPath.c_str());
    entryDeleted(identifier);
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
