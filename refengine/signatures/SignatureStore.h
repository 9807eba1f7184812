// Body signatures kept compactly, for bases of hundreds of thousands of them in a 32-bit process: a
// fixed record per signature, the names in one pool and the elements as one byte code.
#pragma once

#include "refengine/signatures/Signature.h"

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace RefEngine {

// One element of a stored signature, read in place from the code.
struct ElementView {
    Element::Kind kind = Element::Run;
    bool exact = false;          // Run: every test is one exact byte, data holds the bytes
    uint32_t length = 0;         // Run: tests; Choice: options
    bool negated = false;        // Choice: none of the options (all as long) matches
    const uint8_t* data = nullptr;  // Run: bytes (exact) or 4 bytes a test; Choice: the options
    uint64_t min = 0, max = 0;   // Gap
    char boundary = 0;           // Boundary
};

class SignatureStore {
public:
    struct Record {  // 24 bytes: a base holds hundreds of thousands
        uint32_t name = 0;  // offset in the name pool, NUL-terminated
        uint32_t code = 0;  // offset in the code: the offset's numbers (unless "*"), the anchor, the elements
        uint32_t elements = 0;
        uint32_t anchorElement = 0, anchorPosition = 0;
        uint8_t anchorLength = 0;
        uint8_t target = 0;  // TargetMask: the target type, and the flags below
        uint8_t cure = 0;  // CureKind
        uint8_t offsetKind = 0;
    };
    // Sub: a subsignature of a logical signature, whose matches are counted rather than reported.
    // Disabled: dropped by an ignore list. AnchorCased: the anchor (kept with letters in lower case,
    // as the filter sees the object) has letters, so a candidate tests the anchor's own bytes too.
    static const uint8_t TargetMask = 0x0F, AnchorCased = 0x20, Sub = 0x40, Disabled = 0x80;
    static const uint32_t NotAdded = ~0u;
    static const uint16_t NoClass = 0xFFFF;
    static const size_t OffsetBytes = 20;  // value (8), shift (8), section (4)

    // The signature's index; NotAdded when its byte classes would not fit (65,535 distinct ones in all:
    // each distinct set of bytes is kept once however many signatures use it).
    uint32_t Add(const BodySignature& signature);
    size_t Size() const { return records_.size(); }
    const Record& operator[](size_t i) const { return records_[i]; }
    Offset GetOffset(size_t i) const;
    const char* Name(size_t i) const { return names_.data() + records_[i].name; }
    // The signature's elements, in order.
    void Elements(size_t i, std::vector<ElementView>& out) const;
    // The code after the offset's numbers: the anchor's bytes, then the elements.
    const uint8_t* Code(size_t i) const;
    // The anchor's bytes (anchorLength of them), ASCII letters in lower case.
    const uint8_t* Anchor(size_t i) const;
    // One 4-byte test of a non-exact run (inline: candidates test runs a byte at a time).
    bool TestByte(const uint8_t* test, uint8_t byte) const {
        const uint16_t klass = static_cast<uint16_t>(test[2] | (test[3] << 8));
        return klass != NoClass ? classes_[klass].test(byte) : (byte & test[1]) == test[0];
    }
    // The byte a 4-byte test stands for, when it is one byte or one letter in either case (fold 0x20).
    bool KeyOf(const uint8_t* test, uint8_t& byte, uint8_t& fold) const;
    // The signature as it was added (for tools and tests).
    BodySignature Expand(size_t i) const;
    void Disable(size_t i) { records_[i].target |= Disabled; }
    // Gives back what growing left over, once loading is done.
    void Shrink();

private:
    std::vector<Record> records_;
    std::string names_;
    std::vector<uint8_t> code_;
    std::vector<std::bitset<256>> classes_;
    std::unordered_map<std::bitset<256>, uint16_t> classIndex_;
};

}  // namespace RefEngine
