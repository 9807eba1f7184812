// The bytes of one unpacked member as they come out: in memory up to a bound, beyond it in a
// temporary file that the system deletes once it is closed. A member of any size is then kept whole
// for its scan while the memory held stays small, however deep archives lie in each other.
#pragma once

#include "base/WinHandle.h"
#include "refengine/object/Source.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace RefEngine {

class MemberBytes {
public:
    explicit MemberBytes(uint64_t inMemory);
    MemberBytes(const MemberBytes&) = delete;
    MemberBytes& operator=(const MemberBytes&) = delete;

    // False when the temporary file could not take them: Failure() says why, in a few words.
    bool Append(const uint8_t* data, size_t size);
    uint64_t Size() const { return size_; }
    // Everything appended so far, as a source; valid until the next Append or Clear.
    ByteSource& Source();
    // Whether reading back from the temporary file failed (another program kept the engine from it):
    // what the source gave then was not the member.
    bool ReadFailed() const;
    // Forgets the bytes; a temporary file is closed, and so deleted.
    void Clear();
    const std::string& Failure() const { return failure_; }

private:
    bool Spill();  // memory_ into the file, which is made on first use

    uint64_t inMemory_;
    uint64_t size_ = 0;
    std::vector<uint8_t> memory_;  // all bytes, or those not yet written to the file
    Win::UniqueHandle<Win::FileHandleTraits> file_;
    std::unique_ptr<ByteSource> source_;
    const FileSource* fileSource_ = nullptr;  // source_, when it reads the temporary file
    std::string failure_;
};

}  // namespace RefEngine
