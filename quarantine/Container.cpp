// Writing, reading and extracting quarantine containers.
#include "quarantine/Container.h"

#include "base/Digest.h"
#include "base/LiteralPath.h"
#include "quarantine/HeldFile.h"

#include <rpc.h>

#include <cstring>
#include <ctime>
#include <cwchar>
#include <cwctype>

namespace Quarantine {
namespace {

using namespace Format;

// Settable attribute bits; anything else in a stored word is not ours to put on a file.
const DWORD RestorableAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                   FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                   FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;

void PutU32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutU64(uint8_t* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t GetU32(const uint8_t* at) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}
uint64_t GetU64(const uint8_t* at) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
    return value;
}
void PutFileTime(uint8_t* at, const FILETIME& time) {
    PutU32(at, time.dwLowDateTime);
    PutU32(at + 4, time.dwHighDateTime);
}
FILETIME GetFileTime(const uint8_t* at) {
    FILETIME time;
    time.dwLowDateTime = GetU32(at);
    time.dwHighDateTime = GetU32(at + 4);
    return time;
}
// A NUL-terminated UTF-16LE text in a field of `units` code units; the caller checks the length.
void PutText(uint8_t* at, const std::wstring& text, uint32_t units) {
    std::memset(at, 0, units * 2);
    for (size_t i = 0; i < text.size() && i + 1 < units; ++i) {
        at[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
        at[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
}
// The field's text up to its first NUL; the last unit counts as NUL whatever it holds.
std::wstring GetText(const uint8_t* at, uint32_t units) {
    std::wstring text;
    for (uint32_t i = 0; i + 1 < units; ++i) {
        const wchar_t unit = static_cast<wchar_t>(at[2 * i] | (at[2 * i + 1] << 8));
        if (unit == 0) break;
        text += unit;
    }
    return text;
}

void ReadExact(HANDLE file, void* buffer, DWORD size) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, size, &got, nullptr)) ThrowLastError("ReadFile failed");
    if (got != size) throw IOError("ReadFile failed", ERROR_HANDLE_EOF);
}

void WriteExact(HANDLE file, const void* buffer, DWORD size) {
    DWORD written = 0;
    if (!::WriteFile(file, buffer, size, &written, nullptr)) ThrowLastError("WriteFile failed");
    if (written != size) throw IOError("WriteFile failed", ERROR_HANDLE_DISK_FULL);
}

uint64_t FilePosition(HANDLE file) {
    LARGE_INTEGER zero = {}, position = {};
    if (!::SetFilePointerEx(file, zero, &position, FILE_CURRENT)) ThrowLastError("SetFilePointerEx failed");
    return static_cast<uint64_t>(position.QuadPart);
}

void MoveTo(HANDLE file, uint64_t offset, DWORD method) {
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file, distance, nullptr, method)) ThrowLastError("SetFilePointerEx failed");
}

int64_t SecondsSince1970() { return static_cast<int64_t>(_time64(nullptr)); }

// A suffix that no file beside the target has by chance: 16 random hex digits.
std::wstring RandomSuffix() {
    UUID uuid;
    ::UuidCreate(&uuid);
    wchar_t text[17];
    swprintf(text, 17, L"%08lx%04x%04x", static_cast<unsigned long>(uuid.Data1), uuid.Data2, uuid.Data3);
    return text;
}

// Removes the file it was armed with unless told that the file is complete. Declared before the
// file's handle, so that the handle is closed before the removal.
class PartialFile {
public:
    ~PartialFile() {
        if (!path_.empty()) ::DeleteFileW(path_.c_str());
    }
    void Arm(const std::wstring& path) { path_ = path; }
    void Keep() { path_.clear(); }

private:
    std::wstring path_;
};

// Moves the finished content over the target; a target whose attributes forbid being replaced
// has them lifted for the move and given back when the move fails.
void ReplaceTarget(const std::wstring& source, const std::wstring& target) {
    const std::wstring literal = LiteralPath(target);
    if (::MoveFileExW(source.c_str(), literal.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return;
    DWORD error = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(literal.c_str());
    const DWORD blocking = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & blocking)) {
        ::SetFileAttributesW(literal.c_str(), attributes & ~blocking);
        if (::MoveFileExW(source.c_str(), literal.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return;
        error = ::GetLastError();
        ::SetFileAttributesW(literal.c_str(), attributes);
    }
    throw IOError("MoveFileExW failed", error);
}

}  // namespace

void Scramble(uint8_t* data, size_t size) {
    for (size_t i = 0; i < size; ++i) data[i] ^= Key;
}

std::wstring MaskDriveLetter(const std::wstring& path) {
    std::wstring masked = path;
    if (masked.size() > 2 && masked[1] == L':') masked[0] = L'?';
    return masked;
}

CContainerWriter::CContainerWriter(const std::wstring& containerPath, const std::wstring& threatName,
                                   int32_t originCode)
    : path_(containerPath), threatName_(threatName), creationTime_(SecondsSince1970()), originCode_(originCode) {
    file_.Reset(::CreateFileW(containerPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr));
    if (!file_) throw std::runtime_error("Failed to create file");

    uint8_t header[HeaderSize] = {};
    std::memcpy(header, HeaderMagic, sizeof(HeaderMagic));
    header[7] = Version;
    WriteExact(file_.Get(), header, 8);
    if (threatName.size() >= ThreatNameUnits) throw InvalidParameter("'ThreatName' is too long");
    PutText(header + 8, threatName, ThreatNameUnits);
    PutU64(header + 136, static_cast<uint64_t>(creationTime_));
    PutU32(header + 144, static_cast<uint32_t>(originCode));
    WriteExact(file_.Get(), header + 8, HeaderSize - 8);
}

ContainerObject CContainerWriter::AddObject(const std::wstring& sourcePath, uint32_t type, bool curable,
                                            bool codeIsOne, HANDLE heldSource) {
    const uint64_t recordStart = FilePosition(file_.Get());
    try {
        Win::FileHandle opened;
        if (heldSource == INVALID_HANDLE_VALUE) {
            opened.Reset(::CreateFileW(LiteralPath(sourcePath).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!opened) ThrowLastError("CreateFileW failed");
        }
        const HANDLE source = opened ? opened.Get() : heldSource;
        MoveTo(source, 0, FILE_BEGIN);
        LARGE_INTEGER size = {};
        if (!::GetFileSizeEx(source, &size)) ThrowLastError("GetFileSizeEx failed");
        if (static_cast<uint64_t>(size.QuadPart) > MaxObjectSize) throw QuarantineException("File is too big");
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!::GetFileInformationByHandle(source, &info)) ThrowLastError("GetFileInformationByHandle failed");

        ContainerObject object;
        object.type = type;
        object.originalPath = sourcePath;
        object.size = static_cast<uint64_t>(size.QuadPart);
        object.curable = curable;
        object.dataOffset = recordStart + RecordSize;
        object.codeIsOne = codeIsOne;
        object.hasTimes = true;
        object.attributes = info.dwFileAttributes;
        object.creationTime = info.ftCreationTime;
        object.lastAccessTime = info.ftLastAccessTime;
        object.lastWriteTime = info.ftLastWriteTime;

        std::vector<uint8_t> record(RecordSize, 0);
        std::memcpy(&record[0], RecordMagic, sizeof(RecordMagic));
        record[7] = static_cast<uint8_t>((curable ? FlagCurable : 0) | (codeIsOne ? FlagCodeIsOne : 0) | FlagHasTimes);
        PutU32(&record[8], type);
        PutU64(&record[12], object.size);
        if (sourcePath.size() >= OriginalPathUnits) throw InvalidParameter("'OriginalPath' is too long");
        PutText(&record[20], MaskDriveLetter(sourcePath), OriginalPathUnits);
        PutU32(&record[4116], object.attributes);
        PutFileTime(&record[4120], object.creationTime);
        PutFileTime(&record[4128], object.lastAccessTime);
        PutFileTime(&record[4136], object.lastWriteTime);
        WriteExact(file_.Get(), &record[0], RecordSize);

        // Exactly the size in the record must follow it; a source that changes length fails the add.
        uint8_t block[BlockSize];
        uint64_t copied = 0;
        Crypto::Digest digest(Crypto::Digest::Sha256);
        for (;;) {
            DWORD got = 0;
            if (!ReadSource(source, block, BlockSize, &got)) ThrowLastError("ReadFile failed");
            if (got == 0) break;
            if (copied + got > object.size) throw QuarantineException("File changed while it was being copied");
            digest.Add(block, got);
            Scramble(block, got);
            WriteExact(file_.Get(), block, got);
            copied += got;
        }
        if (copied != object.size) throw QuarantineException("File changed while it was being copied");
        object.digest = digest.Finish();
        if (object.digest.size() == DigestSize) {
            std::vector<uint8_t> entry(RecordSize, 0);
            std::memcpy(&entry[0], RecordMagic, sizeof(RecordMagic));
            PutU32(&entry[8], DigestObjectType);
            PutU64(&entry[12], DigestSize);
            std::vector<uint8_t> content = object.digest;
            Scramble(content.data(), content.size());
            entry.insert(entry.end(), content.begin(), content.end());
            WriteExact(file_.Get(), entry.data(), static_cast<DWORD>(entry.size()));
        }
        objects_.push_back(object);
        return object;
    } catch (...) {
        LARGE_INTEGER start;
        start.QuadPart = static_cast<LONGLONG>(recordStart);
        if (::SetFilePointerEx(file_.Get(), start, nullptr, FILE_BEGIN)) ::SetEndOfFile(file_.Get());
        throw;
    }
}

BOOL CContainerWriter::ReadSource(HANDLE source, void* buffer, DWORD size, DWORD* got) {
    return ::ReadFile(source, buffer, size, got, nullptr);
}

std::wstring CContainerWriter::FinalPath() const { return ::FinalPath(file_.Get()); }

void CContainerWriter::Flush() {
    if (!::FlushFileBuffers(file_.Get())) ThrowLastError("FlushFileBuffers failed");
}

CContainerReader::CContainerReader(const std::wstring& containerPath)
    : creationTime_(0), originCode_(0), driveLetter_(L'C') {
    wchar_t fullPath[2048] = {};
    const DWORD length = ::GetFullPathNameW(containerPath.c_str(), 2048, fullPath, nullptr);
    if (length == 0) ThrowLastError("GetFullPathNameW failed");
    if (length >= 2048) throw IOError("GetFullPathNameW failed", ERROR_FILENAME_EXCED_RANGE);
    // Upper case, as paths are shown everywhere else.
    if (fullPath[0] != 0 && fullPath[1] == L':') driveLetter_ = static_cast<wchar_t>(std::towupper(fullPath[0]));

    file_.Reset(::CreateFileW(containerPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) ThrowLastError("CreateFileW failed");
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file_.Get(), &size)) ThrowLastError("GetFileSizeEx failed");
    const uint64_t fileSize = static_cast<uint64_t>(size.QuadPart);

    uint8_t header[HeaderSize];
    ReadExact(file_.Get(), header, 8);
    if (std::memcmp(header, HeaderMagic, sizeof(HeaderMagic)) != 0 || header[7] != Version)
        throw CorruptedContainer("Validation error");
    ReadExact(file_.Get(), header + 8, HeaderSize - 8);
    threatName_ = GetText(header + 8, ThreatNameUnits);
    creationTime_ = static_cast<int64_t>(GetU64(header + 136));
    originCode_ = static_cast<int32_t>(GetU32(header + 144));

    std::vector<uint8_t> record(RecordSize);
    uint64_t offset = HeaderSize;
    while (offset < fileSize) {
        ReadExact(file_.Get(), &record[0], RecordSize);
        if (std::memcmp(&record[0], RecordMagic, sizeof(RecordMagic)) != 0) throw CorruptedContainer("Validation error");
        ContainerObject object;
        object.type = GetU32(&record[8]);
        object.size = GetU64(&record[12]);
        object.originalPath = GetText(&record[20], OriginalPathUnits);
        if (!object.originalPath.empty() && object.originalPath[0] == L'?') object.originalPath[0] = driveLetter_;
        object.dataOffset = offset + RecordSize;
        if (object.size > fileSize - object.dataOffset || object.size > MaxObjectSize)
            throw CorruptedContainer("Corrupted file");
        const uint8_t flags = record[7];
        object.curable = (flags & FlagCurable) != 0;
        object.codeIsOne = (flags & FlagCodeIsOne) != 0;
        object.hasTimes = (flags & FlagHasTimes) != 0;
        // The digest of the object before it is part of that object, not one of its own.
        if (object.type == DigestObjectType && object.size == DigestSize && !objects_.empty() && objects_.back().digest.empty() &&
            objects_.back().type != DigestObjectType) {
            objects_.back().digest.resize(DigestSize);
            ReadExact(file_.Get(), objects_.back().digest.data(), DigestSize);
            Scramble(objects_.back().digest.data(), DigestSize);
            offset = object.dataOffset + object.size;
            continue;
        }
        if (object.hasTimes) {
            object.attributes = GetU32(&record[4116]);
            object.creationTime = GetFileTime(&record[4120]);
            object.lastAccessTime = GetFileTime(&record[4128]);
            object.lastWriteTime = GetFileTime(&record[4136]);
        }
        objects_.push_back(object);
        MoveTo(file_.Get(), object.size, FILE_CURRENT);
        offset = object.dataOffset + object.size;
    }
}

const ContainerObject* CContainerReader::Object(size_t index) const {
    return index < objects_.size() ? &objects_[index] : nullptr;
}

void CContainerReader::ReadContent(void* buffer, DWORD size) { ReadExact(file_.Get(), buffer, size); }

void CContainerReader::Extract(size_t index, const std::wstring& targetPath, bool overwrite,
                               const std::wstring& temporaryPath, CHeldFile* present, const std::wstring& asidePath) {
    const ContainerObject* object = Object(index);
    if (!object) throw InvalidParameter("Invalid object number");
    const std::wstring literalTarget = LiteralPath(targetPath);
    if (!overwrite && ::GetFileAttributesW(literalTarget.c_str()) != INVALID_FILE_ATTRIBUTES)
        throw IOError("CreateFileW failed", ERROR_FILE_EXISTS);

    // Always a new file: an existing file of the temporary name is never written over.
    const std::wstring writePath = LiteralPath(temporaryPath.empty() ? targetPath + L".!tqr-" + RandomSuffix() : temporaryPath);
    PartialFile partial;
    Win::FileHandle target(::CreateFileW(writePath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                         nullptr));
    if (!target) ThrowLastError("CreateFileW failed");
    partial.Arm(writePath);

    MoveTo(file_.Get(), object->dataOffset, FILE_BEGIN);
    uint8_t block[BlockSize];
    Crypto::Digest digest(Crypto::Digest::Sha256);
    for (uint64_t left = object->size; left > 0;) {
        const DWORD chunk = static_cast<DWORD>(left < BlockSize ? left : BlockSize);
        ReadContent(block, chunk);
        Scramble(block, chunk);
        digest.Add(block, chunk);
        WriteExact(target.Get(), block, chunk);
        left -= chunk;
    }
    if (!object->digest.empty() && digest.Finish() != object->digest)
        throw CorruptedContainer("The quarantined copy is damaged (its content does not match the digest it was stored with)");
    if (object->hasTimes &&
        !::SetFileTime(target.Get(), &object->creationTime, &object->lastAccessTime, &object->lastWriteTime))
        ThrowLastError("SetFileTime failed");
    // On the disk before its name says it is the restored file.
    if (!::FlushFileBuffers(target.Get())) ThrowLastError("FlushFileBuffers failed");
    target.Reset();
    if (present) {
        // The held file steps aside and the new one takes its name; nothing else can come between.
        present->Rename(asidePath);
        if (!::MoveFileExW(writePath.c_str(), literalTarget.c_str(), MOVEFILE_WRITE_THROUGH)) {
            const DWORD error = ::GetLastError();
            present->Rename(targetPath);
            throw IOError("MoveFileExW failed", error);
        }
        present->Remove();
    } else if (overwrite) {
        ReplaceTarget(writePath, targetPath);
    } else if (!::MoveFileExW(writePath.c_str(), literalTarget.c_str(), MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) throw IOError("CreateFileW failed", ERROR_FILE_EXISTS);
        throw IOError("MoveFileExW failed", error);
    }
    partial.Keep();
    if (object->hasTimes) {
        DWORD attributes = object->attributes & RestorableAttributes;
        if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
        if (!::SetFileAttributesW(literalTarget.c_str(), attributes)) ThrowLastError("SetFileAttributesW failed");
    }
}

bool CContainerReader::SameContent(size_t index, const std::wstring& path) {
    Win::FileHandle file(::CreateFileW(LiteralPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    return file && SameContent(index, file.Get());
}

bool CContainerReader::SameContent(size_t index, HANDLE file) {
    const ContainerObject* object = Object(index);
    if (!object) return false;
    LARGE_INTEGER size = {}, start = {};
    if (!::GetFileSizeEx(file, &size) || static_cast<uint64_t>(size.QuadPart) != object->size ||
        !::SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    MoveTo(file_.Get(), object->dataOffset, FILE_BEGIN);
    uint8_t stored[BlockSize], present[BlockSize];
    for (uint64_t left = object->size; left > 0;) {
        const DWORD chunk = static_cast<DWORD>(left < BlockSize ? left : BlockSize);
        ReadContent(stored, chunk);
        Scramble(stored, chunk);
        DWORD got = 0;
        if (!::ReadFile(file, present, chunk, &got, nullptr) || got != chunk) return false;
        if (std::memcmp(stored, present, chunk) != 0) return false;
        left -= chunk;
    }
    return true;
}

}  // namespace Quarantine
