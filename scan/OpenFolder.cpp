#include "scan/OpenFolder.h"

#include "base/LiteralPath.h"

#include <winternl.h>

#include <cstddef>
#include <vector>

namespace {

typedef NTSTATUS(NTAPI* OpenFileFn)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK, ULONG, ULONG);
typedef NTSTATUS(NTAPI* QueryDirectoryFn)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG, BOOLEAN, PUNICODE_STRING,
                                          BOOLEAN);
typedef ULONG(NTAPI* StatusToErrorFn)(NTSTATUS);

const ULONG IdFullDirectoryInformation = 38;  // FILE_ID_FULL_DIR_INFORMATION: with each entry's file index
const NTSTATUS NoMoreFiles = static_cast<NTSTATUS>(0x80000006);
const ULONG OpenDirectory = 0x00000001, SynchronousIo = 0x00000020, ForBackup = 0x00004000;  // FILE_DIRECTORY_FILE, ...
const ACCESS_MASK ListAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

struct DirectoryInformationRecord {
    ULONG nextEntryOffset;
    ULONG fileIndex;
    LARGE_INTEGER creationTime, lastAccessTime, lastWriteTime, changeTime, endOfFile, allocationSize;
    ULONG fileAttributes;
    ULONG fileNameLength;  // bytes
    ULONG eaSize;
    LARGE_INTEGER fileId;
    WCHAR fileName[1];
};

// The native calls, from ntdll (always loaded).
struct Native {
    OpenFileFn openFile = nullptr;
    QueryDirectoryFn queryDirectory = nullptr;
    StatusToErrorFn statusToError = nullptr;
    Native() {
        const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
        if (!ntdll) return;
        openFile = reinterpret_cast<OpenFileFn>(::GetProcAddress(ntdll, "NtOpenFile"));
        queryDirectory = reinterpret_cast<QueryDirectoryFn>(::GetProcAddress(ntdll, "NtQueryDirectoryFile"));
        statusToError = reinterpret_cast<StatusToErrorFn>(::GetProcAddress(ntdll, "RtlNtStatusToDosError"));
    }
    bool Ready() const { return openFile && queryDirectory && statusToError; }
};

const Native& Calls() {
    static const Native native;
    return native;
}

}  // namespace

std::unique_ptr<OpenFolder> OpenFolder::Open(const std::wstring& path, DWORD& error) {
    if (!Calls().Ready()) {
        error = ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    const HANDLE handle = ::CreateFileW(LiteralPath(path).c_str(), ListAccess, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    error = handle == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    return std::unique_ptr<OpenFolder>(new OpenFolder(handle));
}

std::unique_ptr<OpenFolder> OpenFolder::OpenChild(const std::wstring& name, DWORD& error) const {
    if (!Calls().Ready() || name.size() > 32767) {
        error = Calls().Ready() ? ERROR_FILENAME_EXCED_RANGE : ERROR_PROC_NOT_FOUND;
        return nullptr;
    }
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, handle_.Get(), nullptr);
    IO_STATUS_BLOCK status = {};
    HANDLE child = nullptr;
    const NTSTATUS result = Calls().openFile(&child, ListAccess, &attributes, &status, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                             OpenDirectory | SynchronousIo | ForBackup);
    if (result < 0 || !child) {
        error = Calls().statusToError(result);
        return nullptr;
    }
    error = 0;
    return std::unique_ptr<OpenFolder>(new OpenFolder(child));
}

bool OpenFolder::Next(Entry& entry, DWORD& error) {
    error = 0;
    while (pending_.empty()) {
        if (ended_ || !Calls().Ready()) return false;
        // One scratch buffer for every folder: a batch is parsed at once, so only its rest is kept.
        thread_local std::vector<uint8_t> buffer(64 * 1024);
        IO_STATUS_BLOCK status = {};
        const NTSTATUS result = Calls().queryDirectory(handle_.Get(), nullptr, nullptr, nullptr, &status, buffer.data(),
                                                       static_cast<ULONG>(buffer.size()), IdFullDirectoryInformation, FALSE, nullptr, FALSE);
        if (result == NoMoreFiles) {
            ended_ = true;
            return false;
        }
        if (result < 0) {
            ended_ = true;
            error = Calls().statusToError(result);
            return false;
        }
        for (size_t at = 0; at + offsetof(DirectoryInformationRecord, fileName) <= buffer.size();) {
            const auto* record = reinterpret_cast<const DirectoryInformationRecord*>(buffer.data() + at);
            const size_t nameUnits = record->fileNameLength / sizeof(wchar_t);
            if (at + offsetof(DirectoryInformationRecord, fileName) + record->fileNameLength > buffer.size()) break;
            Entry next;
            next.name.assign(record->fileName, nameUnits);
            next.attributes = record->fileAttributes;
            next.size = static_cast<uint64_t>(record->endOfFile.QuadPart);
            next.fileId = static_cast<uint64_t>(record->fileId.QuadPart);
            if (next.name != L"." && next.name != L"..") pending_.push_back(std::move(next));
            if (record->nextEntryOffset == 0) break;
            at += record->nextEntryOffset;
        }
    }
    entry = std::move(pending_.front());
    pending_.pop_front();
    return true;
}
