// Finding body signatures in an object. A filter over the anchors' first bytes costs the same for
// each byte of the object however many signatures there are (one bit of a bitmap for each 4-byte
// gram, hashed, the bitmap sized to the number of anchors, with bits of the next bytes beside it);
// only its rare hits are compared with the anchors, and only a whole anchor makes a candidate. A
// candidate is checked in place without recursion: sets of possible positions step through the
// elements of its block, and the blocks joined by unbounded gaps are placed earliest first,
// remembered per signature, so that no input makes a scan quadratic. A block after a gap that lies
// beyond the bytes read so far is searched for as the scan reads on, not read ahead for each
// candidate; what candidates decide takes effect in their order all the same. Work is counted
// per candidate, per signature and per object; a signature or an object that runs out of it makes the
// result incomplete (never clean), and one signature's work never takes another's share.
#pragma once

#include "refengine/object/ObjectInfo.h"
#include "refengine/object/ObjectType.h"
#include "refengine/signatures/Signature.h"
#include "refengine/signatures/SignatureStore.h"
#include "refengine/object/Source.h"
#include "refengine/Limits.h"

#include <functional>
#include <string>
#include <utility>
#include <unordered_map>
#include <vector>

namespace RefEngine {

// The first and last offset where a match may begin; false when the offset does not apply here.
bool ResolveOffset(const Offset& offset, const ObjectInfo& info, uint64_t& first, uint64_t& last);

struct Budgets {
    uint64_t perCandidate = Limits::CandidateWork;
    uint64_t perSignature = Limits::SignatureWork;
    uint64_t perObjectBase = Limits::ObjectWorkBase;
    uint64_t perObjectByte = Limits::ObjectWorkPerByte;
    // Searches for the blocks of a signature across the object that are the object's work alone, not
    // the signature's or the candidate's: placements only move on, so one for each block is all that
    // matching needs.
    uint64_t searchPasses = 1;
    // Bytes the filter reads at a time (the fuzzer makes it small, so that matches straddle reads).
    size_t readChunk = Limits::MatchReadChunk;
};

class BodyMatcher {
public:
    // The store must not change while the matcher lives.
    // Every signature of the store, or only those listed.
    BodyMatcher(const SignatureStore& signatures, const Budgets& budgets = Budgets(), const std::vector<uint32_t>* only = nullptr);

    struct Result {
        bool found = false;
        uint32_t signature = 0;  // the one found, or the first that ran out of work
        uint64_t start = 0;      // where the match begins
        bool incomplete = false; // some signature could not be checked to the end
        // The largest share of a work limit that the object used, in millionths (over a million: that
        // limit was reached), which limit (the object's, a signature's or a candidate's) and whose.
        enum Limit { ObjectLimit, SignatureLimit, CandidateLimit };
        uint32_t workShare = 0;
        Limit workLimit = ObjectLimit;
        uint32_t workSignature = 0;
    };
    // Told of each match of a subsignature (a signature marked Sub); true ends the search as found.
    typedef std::function<bool(uint32_t signature)> SubsignatureSink;
    typedef std::function<bool(uint32_t signature)> SignatureFilter;
    // The first signature found (the scan ends there), in the order of the anchors in the object; only
    // signatures that wanted accepts, when given, are checked.
    Result Find(ByteSource& source, const ObjectInfo& info, const volatile long* stop, const SubsignatureSink* sink = nullptr,
                const SignatureFilter* wanted = nullptr) const;

private:
    // The table entry of a four-byte gram: one group of equal anchors (the common case), with the
    // anchor's length and next bytes to reject most near misses without leaving the entry, and its
    // first member; or several groups.
    struct LongEntry {
        uint32_t gram = 0;
        uint32_t tail[2] = {0, 0};  // anchor bytes 4 to 11, as far as the anchor goes
        uint32_t index = 0;         // Shared | start in lists_, or anchor length << 25 | first member; 0: free
        uint32_t AnchorLength() const { return (index >> 25) & 63; }
    };
    static const uint32_t Shared = 0x80000000u, SignatureMask = (1u << 25) - 1;
    class Search;

    // A signature that starts at a known place (an offset other than "*"), and how far from its start
    // its anchor may lie.
    struct Placed {
        uint32_t signature = 0;
        uint64_t anchorMin = 0, anchorMax = 0;
    };
    Placed PlacedSignature(uint32_t signature, std::vector<ElementView>& elements) const;

    uint32_t Global(uint32_t member) const { return members_.empty() ? member : members_[member]; }
    uint32_t AnchorLength(uint32_t group) const { return store_[Global(groups_[group])].anchorLength; }
    const uint8_t* AnchorBytes(uint32_t group) const { return store_.Anchor(Global(groups_[group])); }
    const LongEntry* FindLong(uint32_t gram) const;
    uint32_t BucketOf(uint32_t gram, int which) const;
    void Place(LongEntry entry);
    // Shared lists of groups: a header that holds the count (as its group), then an entry for each
    // group, by anchor length, then bytes; the entry holds the anchor's first eight bytes.
    struct ListEntry {
        uint64_t head;
        uint32_t group, length;
    };
    uint32_t AddShared(const std::vector<uint32_t>& groups);

    const SignatureStore& store_;
    Budgets budgets_;
    // The signatures the filter looks for, as members: member -> signature in the store (empty: the
    // matcher has every signature, and members are their numbers).
    std::vector<uint32_t> members_;
    std::vector<uint32_t> groups_;       // group -> its first member
    std::vector<uint32_t> nextInGroup_;  // member -> the next with the same anchor, or ~0
    std::vector<ListEntry> lists_;
    std::vector<Placed> placed_;
    // Anchors of four bytes or more: a filter of their first four bytes, hashed, and a table from
    // those bytes to their groups. Each word of the filter holds 32 gram bits and, beside them, 32
    // bits of the next bytes of the anchors of those grams: 16 for the next two, 16 for the next four
    // (all set where an anchor is too short), so that all looks cost one fetch from memory. Words of
    // two 32-bit halves, because 64-bit shifts are slow in a 32-bit program.
    struct FilterWord {
        uint32_t grams = 0, nextBytes = 0;
    };
    std::vector<FilterWord> filter_;
    // A gram's bit: the top bits of its hash, as many as the filter needs (16 to 24).
    static const uint32_t MinShift = 8, MaxShift = 16;
    uint32_t gramShift_ = 32;
    static uint32_t GramHash(uint32_t gram) { return gram * 0x9E3779B1u; }
    uint32_t GramBit(uint32_t gram) const { return GramHash(gram) >> gramShift_; }
    static const size_t Ahead = 32;
    // The hot loop, made for each size of filter (its shift a constant) and with or without asking
    // for words ahead.
    template <bool FetchAhead, uint32_t Shift>
    size_t NextHit(const uint8_t* data, size_t i, size_t end, size_t held) const;
    typedef size_t (BodyMatcher::*NextHitLoop)(const uint8_t*, size_t, size_t, size_t) const;
    template <bool FetchAhead, uint32_t... Shifts>
    static NextHitLoop PickLoop(uint32_t shift, std::integer_sequence<uint32_t, Shifts...>);
    // The table: buckets of four entries (one cache line); each gram lies in one of its two buckets,
    // so that a look-up reads at most two lines, fetched together.
    struct alignas(64) TableBucket {
        LongEntry slots[4];
    };
    std::vector<TableBucket> table_;
    // Shorter anchors, rare in real bases: by their first two bytes, or by their only byte.
    std::vector<uint64_t> shortBits_;                      // 65536 bits
    std::unordered_map<uint32_t, uint32_t> shortLists_;    // two bytes -> start in lists_
    std::vector<int32_t> singleLists_;                     // byte -> start in lists_, or -1
    bool hasLong_ = false, hasShort_ = false, hasSingle_ = false;
};

}  // namespace RefEngine
