// Holding a user's file: the sharing that keeps other programs out, and the changes made through it.
#include "quarantine/HeldFile.h"

#include "base/LiteralPath.h"
#include "quarantine/QuarantineErrors.h"
#include "resources/resource.h"

#include <cstring>
#include <vector>

namespace Quarantine {
namespace {

const DWORD BlockSize = 64 * 1024;

[[noreturn]] void Fail(const char* call) { throw IOError(std::string(call) + " failed", ::GetLastError()); }

void Rewind(HANDLE file) {
    LARGE_INTEGER zero = {};
    if (!::SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) Fail("SetFilePointerEx");
}

DWORD ReadSome(HANDLE file, uint8_t* buffer) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, BlockSize, &got, nullptr)) Fail("ReadFile");
    return got;
}

void WriteAll(HANDLE file, const uint8_t* data, DWORD size) {
    DWORD written = 0;
    if (!::WriteFile(file, data, size, &written, nullptr) || written != size) Fail("WriteFile");
}

}  // namespace

CHeldFile::CHeldFile(const std::wstring& path, Access access) : path_(path) {
    // Reading is shared (a scanner or a viewer does no harm); writing, renaming and deleting are not.
    const DWORD rights = GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES | (access == Access::ReadWrite ? GENERIC_WRITE : 0);
    file_.Reset(::CreateFileW(LiteralPath(path).c_str(), rights, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) Fail("CreateFileW");
    // Never a device, a pipe, or a file a link leads to outside every drive: not the user's to change.
    const bool disk = ::GetFileType(file_.Get()) == FILE_TYPE_DISK;
    if (!disk || !LiesOnADrive(file_.Get())) {
        IOError refused("CreateFileW failed", ERROR_ACCESS_DENIED);
        refused.reason = Reason(disk ? IDS_REASON_OUTSIDE_DRIVES : IDS_REASON_NOT_REGULAR_FILE);
        throw refused;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file_.Get(), &info)) Fail("GetFileInformationByHandle");
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) throw IOError("CreateFileW failed", ERROR_ACCESS_DENIED);
}

void CHeldFile::CopyTo(const std::wstring& newPath) const {
    Win::FileHandle copy(::CreateFileW(LiteralPath(newPath).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!copy) Fail("CreateFileW");
    Rewind(file_.Get());
    std::vector<uint8_t> block(BlockSize);
    while (const DWORD got = ReadSome(file_.Get(), block.data())) WriteAll(copy.Get(), block.data(), got);
    if (!::FlushFileBuffers(copy.Get())) Fail("FlushFileBuffers");
}

bool CHeldFile::TakeContentOf(const std::wstring& path) {
    Win::FileHandle source(::CreateFileW(LiteralPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!source) {
        if (::GetLastError() != ERROR_FILE_NOT_FOUND) Fail("CreateFileW");
        Remove();
        return true;
    }
    // Only from the first block that differs: a cure that cut the file writes nothing.
    Rewind(file_.Get());
    std::vector<uint8_t> wanted(BlockSize), present(BlockSize);
    bool changed = false;
    uint64_t offset = 0;
    for (;;) {
        const DWORD got = ReadSome(source.Get(), wanted.data());
        if (!changed) {
            const DWORD had = ReadSome(file_.Get(), present.data());
            if (had == got && std::memcmp(wanted.data(), present.data(), got) == 0) {
                if (got == 0) break;
                offset += got;
                continue;
            }
            changed = true;
            LARGE_INTEGER at;
            at.QuadPart = static_cast<LONGLONG>(offset);
            if (!::SetFilePointerEx(file_.Get(), at, nullptr, FILE_BEGIN)) Fail("SetFilePointerEx");
        }
        if (got == 0) break;
        WriteAll(file_.Get(), wanted.data(), got);
    }
    if (!changed) return false;
    if (!::SetEndOfFile(file_.Get())) Fail("SetEndOfFile");
    if (!::FlushFileBuffers(file_.Get())) Fail("FlushFileBuffers");
    return true;
}

void CHeldFile::Rename(const std::wstring& path) {
    const std::wstring newPath = LiteralPath(path);
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + newPath.size() * sizeof(wchar_t));
    FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(newPath.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, newPath.data(), rename->FileNameLength);
    if (!::SetFileInformationByHandle(file_.Get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size())))
        Fail("SetFileInformationByHandle");
    path_ = path;
}

void CHeldFile::Remove() {
    FILE_BASIC_INFO basic = {};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // a read-only file cannot be deleted
    ::SetFileInformationByHandle(file_.Get(), FileBasicInfo, &basic, sizeof(basic));
    FILE_DISPOSITION_INFO disposition = {TRUE};
    if (!::SetFileInformationByHandle(file_.Get(), FileDispositionInfo, &disposition, sizeof(disposition)))
        Fail("SetFileInformationByHandle");
    Release();
}

std::unique_ptr<CHeldFile> HoldFile(const std::wstring& path, CHeldFile::Access access) {
    for (int attempt = 1;; ++attempt) {
        try {
            return std::unique_ptr<CHeldFile>(new CHeldFile(path, access));
        } catch (const IOError& e) {
            if (e.Code() != ERROR_SHARING_VIOLATION || attempt == 25) throw;
        }
        ::Sleep(10);
    }
}

}  // namespace Quarantine
