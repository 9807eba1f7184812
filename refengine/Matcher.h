// Finding body signatures in an object. A filter over the anchors' first bytes costs the same for
// each byte of the object however many signatures there are (one bit of a bitmap for each 4-byte
// gram, hashed, the bitmap sized to the number of anchors); only its rare hits are compared with the
// anchors, and only a whole anchor makes a candidate. A candidate is checked in place without recursion: sets of possible
// positions step through the elements of its block, and the blocks joined by unbounded gaps are placed
// earliest first, remembered per signature, so that no input makes a scan quadratic. Work is counted
// per candidate, per signature and per object; a signature or an object that runs out of it makes the
// result incomplete (never clean), and one signature's work never takes another's share.
#pragma once

#include "refengine/Signature.h"
#include "refengine/Source.h"

#include <unordered_map>
#include <vector>

namespace RefEngine {

// What the offsets of signatures refer to in one object.
struct ObjectInfo {
    uint64_t size = 0;
    bool pe = false;
    uint64_t entryPoint = 0;  // file offset of the entry point, for PE files
    struct Section {
        uint64_t offset, size;  // raw data in the file
    };
    std::vector<Section> sections;
};

// The first and last offset where a match may begin; false when the offset does not apply here.
bool ResolveOffset(const Offset& offset, const ObjectInfo& info, uint64_t& first, uint64_t& last);

struct Budgets {
    uint64_t perCandidate = 1u << 20;
    uint64_t perSignature = 1u << 24;
    uint64_t perObjectBase = 1u << 26;
    uint64_t perObjectByte = 32;
};

class BodyMatcher {
public:
    BodyMatcher(const std::vector<BodySignature>& signatures, const Budgets& budgets = Budgets());

    struct Result {
        bool found = false;
        uint32_t signature = 0;  // the one found, or the first that ran out of work
        uint64_t start = 0;      // where the match begins
        bool incomplete = false; // some signature could not be checked to the end
    };
    // The first signature found (the scan ends there), in the order of the anchors in the object.
    Result Find(ByteSource& source, const ObjectInfo& info, const volatile long* stop) const;

private:
    struct Group {  // signatures with the same anchor bytes
        std::vector<uint8_t> anchor;
        std::vector<uint32_t> signatures;
    };
    struct Bucket {  // groups whose anchors begin alike, by anchor length, then bytes
        std::vector<uint32_t> groups;
    };
    struct Block {  // elements [first, last) between unbounded gaps
        size_t first, last;
        uint64_t minLength;
    };
    struct Layout {  // per signature
        std::vector<Block> blocks;
        size_t anchorBlock = 0;
        std::vector<uint64_t> gapBefore;  // minimum of the unbounded gap before each block
        uint64_t anchorRunLength = 0;
    };
    class Search;

    void AddToBucket(std::unordered_map<uint32_t, uint32_t>& index, uint32_t key, uint32_t group);
    const Bucket* LongBucket(uint32_t gram) const;

    const std::vector<BodySignature>& signatures_;
    Budgets budgets_;
    std::vector<Layout> layouts_;
    std::vector<Group> groups_;
    std::vector<Bucket> buckets_;
    // Anchors of four bytes or more: a bitmap of their first four bytes, hashed, and an open-addressed
    // table from those bytes to their bucket.
    std::vector<uint32_t> gramBits_;
    uint32_t gramShift_ = 32;
    std::vector<std::pair<uint32_t, uint32_t>> longTable_;  // (gram, bucket + 1); 0: empty
    // Shorter anchors, rare in real bases: by their first two bytes, or by their only byte.
    std::vector<uint64_t> shortBits_;                         // 65536 bits
    std::unordered_map<uint32_t, uint32_t> shortBuckets_;     // two bytes -> bucket
    std::vector<int32_t> singleBuckets_;                      // byte -> bucket, or -1
    bool hasLong_ = false, hasShort_ = false, hasSingle_ = false;
};

}  // namespace RefEngine
