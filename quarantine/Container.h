// Quarantine containers: a 148-byte header, then object records of 4144 bytes each followed by the
// object's content XOR-ed with 0xB7. All integers little-endian, texts UTF-16LE in NUL-filled fields.
// After an object the writer puts one more entry of its own type: the SHA-256 of the object's content,
// so that a restore can tell a damaged copy. A reader that does not know that type lists it as an
// object it never restores; containers without it restore unchecked.
#pragma once

#include "base/WinHandle.h"
#include "quarantine/QuarantineErrors.h"

#include <boost/noncopyable.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace Quarantine {

class CHeldFile;

namespace Format {
const char HeaderMagic[7] = {'T', 'A', 'V', 'Q', 'U', 'A', 'R'};
const char RecordMagic[7] = {'Q', 'U', 'A', 'R', 'O', 'B', 'J'};
const uint8_t Version = 1;
const uint32_t HeaderSize = 148;
const uint32_t RecordSize = 4144;
const uint32_t ThreatNameUnits = 64;     // 63 characters and a NUL
const uint32_t OriginalPathUnits = 2048;  // 2047 characters and a NUL
const uint64_t MaxObjectSize = 52428800;  // 50 MiB
const uint8_t Key = 0xB7;
const uint32_t BlockSize = 4096;
const uint8_t FlagCurable = 0x01;
const uint8_t FlagCodeIsOne = 0x02;
const uint8_t FlagHasTimes = 0x04;
const int32_t OwnOriginCode = 100;
const uint32_t FileObjectType = 1;
const uint32_t DigestObjectType = 0x54534744;  // "DGST": the digest of the object before it
const uint32_t DigestSize = 32;
}  // namespace Format

// One object entry of a container, in memory.
struct ContainerObject {
    uint32_t type = 0;
    std::wstring originalPath;  // the drive letter already put back by the reader
    uint64_t size = 0;
    bool curable = false;
    uint64_t dataOffset = 0;  // file offset of the first content byte
    bool codeIsOne = false;
    bool hasTimes = false;
    uint32_t attributes = 0;
    FILETIME creationTime = {};
    FILETIME lastAccessTime = {};
    FILETIME lastWriteTime = {};
    std::vector<uint8_t> digest;  // SHA-256 of the content; empty in containers written without it
};

// XORs every byte with the container key; scrambling and unscrambling are the same.
void Scramble(uint8_t* data, size_t size);

// "?" in place of the drive letter of a path of the form "X:...".
std::wstring MaskDriveLetter(const std::wstring& path);

class CContainerWriter : boost::noncopyable {
public:
    // Creates (or replaces) the file and writes the header. Throws std::runtime_error
    // "Failed to create file", InvalidParameter "'ThreatName' is too long" or IOError.
    CContainerWriter(const std::wstring& containerPath, const std::wstring& threatName, int32_t originCode);
    virtual ~CContainerWriter() {}

    // Appends one object read from the source file. On failure the container is cut back to
    // where it ended before, and the exception goes on. A source that cannot be read to exactly
    // the size it had when the add began fails the add. A held source is read through its handle (from
    // its start), and sourcePath only names it.
    ContainerObject AddObject(const std::wstring& sourcePath, uint32_t type, bool curable, bool codeIsOne,
                              HANDLE heldSource = INVALID_HANDLE_VALUE);

    // Forces everything written so far to the disk.
    void Flush();

    int64_t CreationTime() const { return creationTime_; }
    int32_t OriginCode() const { return originCode_; }
    // Where the container really is, links resolved (empty when the system does not say).
    std::wstring FinalPath() const;

protected:
    // One read of the source file, as ReadFile; overridable so that a source can fail part-way.
    virtual BOOL ReadSource(HANDLE source, void* buffer, DWORD size, DWORD* got);

private:
    Win::FileHandle file_;
    std::wstring path_;
    std::vector<ContainerObject> objects_;
    std::wstring threatName_;
    int64_t creationTime_;
    int32_t originCode_;
};

class CContainerReader : boost::noncopyable {
public:
    // Opens the container and reads the header and every object record; throws CorruptedContainer
    // or IOError, with nothing left open.
    explicit CContainerReader(const std::wstring& containerPath);
    virtual ~CContainerReader() {}

    // The object at the index, or null when there is none.
    const ContainerObject* Object(size_t index) const;
    size_t ObjectCount() const { return objects_.size(); }
    const std::wstring& ThreatName() const { return threatName_; }
    int64_t CreationTime() const { return creationTime_; }
    int32_t OriginCode() const { return originCode_; }

    // Writes the unscrambled object into a file at the target path and gives it back its times and
    // attributes. The content goes into a new temporary file first (the given path, or one beside the
    // target with a random name), is flushed, and then takes the target's name in one step: over an
    // existing file with overwrite; without, an existing file makes this fail ("CreateFileW failed").
    // A content that does not match the object's digest throws CorruptedContainer before any name
    // changes.
    // A failed extraction leaves any file that was there as it was, and no temporary file. A present
    // file held at the target is replaced by way of asidePath (a temporary name on its disk): it moves
    // there, the new file takes the name, and it is removed.
    void Extract(size_t index, const std::wstring& targetPath, bool overwrite,
                 const std::wstring& temporaryPath = std::wstring(), CHeldFile* present = nullptr,
                 const std::wstring& asidePath = std::wstring());
    // True when the file at the path holds exactly the object's content.
    bool SameContent(size_t index, const std::wstring& path);
    bool SameContent(size_t index, HANDLE file);

protected:
    // Reads exactly size bytes of object content at the current position; overridable so that a
    // container can fail part-way through an extraction.
    virtual void ReadContent(void* buffer, DWORD size);

private:
    Win::FileHandle file_;
    std::wstring threatName_;
    int64_t creationTime_;
    int32_t originCode_;
    wchar_t driveLetter_;
    std::vector<ContainerObject> objects_;
};

}  // namespace Quarantine
