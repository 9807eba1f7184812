// Building the body matcher: signatures grouped by equal anchors, the filter over the anchors' first
// four bytes (and bits of the next ones), the table from those bytes to their groups, the lists of
// shorter anchors, and the signatures that start at a known place.
#include "refengine/match/Matcher.h"

#include "refengine/match/MatcherBits.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

// Signatures whose anchors may lie further than this from their offsets are left to the filter.
const uint64_t MaxPlacedShift = 1u << 16;

}  // namespace

BodyMatcher::BodyMatcher(const SignatureStore& store, const Budgets& budgets, const std::vector<uint32_t>* only)
    : store_(store), budgets_(budgets), singleLists_(256, -1) {
    // Groups of equal anchors: the signatures sorted by a number made of the anchor's first four
    // bytes and a hash of all of it (a sort of numbers, not of the anchors in memory), then equal
    // anchors joined within each run of equal numbers.
    struct Key {
        uint64_t key;
        uint32_t signature;
    };
    std::vector<Key> keys;
    keys.reserve(only ? only->size() : store.Size());
    std::vector<ElementView> elements;
    for (uint32_t i = 0; i < (only ? only->size() : store.Size()); ++i) {
        const uint32_t s = only ? (*only)[i] : i;
        // A signature that starts at a known place is looked for there, not by the filter (but for one
        // whose anchor may lie anywhere in a section, or far from its offset: the filter costs less).
        const SignatureStore::Record& record = store[s];
        if (record.offsetKind != Offset::Anywhere && record.offsetKind != Offset::SectionEnd && store.GetOffset(s).shift <= MaxPlacedShift) {
            const Placed placed = PlacedSignature(s, elements);
            if (placed.anchorMax - placed.anchorMin <= MaxPlacedShift) {
                placed_.push_back(placed);
                continue;
            }
        }
        const uint8_t* a = store.Anchor(s);
        const uint32_t length = store[s].anchorLength;
        uint32_t first = 0, hash = 2166136261u ^ length;
        std::memcpy(&first, a, std::min<uint32_t>(length, 4));
        for (uint32_t i = 0; i < length; ++i) hash = (hash ^ a[i]) * 16777619u;
        // Members are the store's own numbers when the matcher has every signature.
        keys.push_back({(static_cast<uint64_t>(first) << 32) | hash, only ? static_cast<uint32_t>(members_.size()) : s});
        if (only) members_.push_back(s);
    }
    members_.shrink_to_fit();
    nextInGroup_.assign(only ? members_.size() : store.Size(), ~0u);
    std::sort(keys.begin(), keys.end(), [](const Key& x, const Key& y) {
        return x.key != y.key ? x.key < y.key : x.signature < y.signature;
    });
    std::vector<uint32_t> lastOfGroup;  // within the current run of equal keys
    for (size_t i = 0; i < keys.size(); ++i) {
        const uint32_t s = keys[i].signature;
        if (i == 0 || keys[i - 1].key != keys[i].key) lastOfGroup.clear();
        bool joined = false;
        for (uint32_t& last : lastOfGroup) {
            const uint32_t length = store[Global(s)].anchorLength;
            if (store[Global(last)].anchorLength == length && std::memcmp(store.Anchor(Global(last)), store.Anchor(Global(s)), length) == 0) {
                nextInGroup_[last] = s;
                last = s;
                joined = true;
                break;
            }
        }
        if (joined) continue;
        groups_.push_back(s);
        lastOfGroup.push_back(s);
    }
    keys = std::vector<Key>();

    // Shorter anchors by their first bytes.
    std::unordered_map<uint32_t, std::vector<uint32_t>> shortGroups, singleGroups;
    for (uint32_t g = 0; g < groups_.size(); ++g) {
        const uint8_t* a = AnchorBytes(g);
        const uint32_t length = AnchorLength(g);
        if (length >= 4) continue;
        if (length >= 2)
            shortGroups[static_cast<uint32_t>(a[0] | (a[1] << 8))].push_back(g);
        else
            singleGroups[a[0]].push_back(g);
    }
    // Longer anchors by their first four bytes: groups_ is sorted by those, so the groups of one gram
    // follow one another, but for shorter anchors whose bytes sort among them.
    auto forEachGram = [this](auto visit) {
        std::vector<uint32_t> same;
        for (uint32_t g = 0; g < groups_.size(); ++g) {
            if (AnchorLength(g) < 4) continue;
            if (!same.empty() && Load32(AnchorBytes(g)) != Load32(AnchorBytes(same[0]))) {
                visit(same);
                same.clear();
            }
            same.push_back(g);
        }
        if (!same.empty()) visit(same);
    };
    size_t grams = 0;
    forEachGram([&grams](const std::vector<uint32_t>&) { ++grams; });

    // Many bits a gram make hits rare (each costs a mispredicted branch and a look at the next bytes,
    // most of which end there), but a filter of more than a few megabytes outgrows the processor's
    // cache of page addresses and is slower whatever it saves: at least 32 bits a gram (a power of
    // two; more gained little and cost memory), at most 2^24 bits.
    hasLong_ = grams > 0;
    uint32_t bitsLog2 = 32 - MaxShift;
    while ((1ull << bitsLog2) < grams * 32 && bitsLog2 < 32 - MinShift) ++bitsLog2;
    filter_.assign(static_cast<size_t>(1ull << (bitsLog2 - 5)), FilterWord());
    gramShift_ = 32 - bitsLog2;
    // Seven entries for each eight slots of the table.
    table_.assign(grams * 2 / 7 + 1, TableBucket());
    forEachGram([this](const std::vector<uint32_t>& same) {
        const uint32_t gram = Load32(AnchorBytes(same[0]));
        const uint32_t bit = GramBit(gram);
        FilterWord& word = filter_[bit >> 5];
        word.grams |= 1u << (bit & 31);
        for (uint32_t g : same) {
            // Anchors too short for a look at their next bytes let every near miss through.
            const uint32_t length = AnchorLength(g);
            if (length < 6)
                word.nextBytes = ~0u;
            else if (length < 8)
                word.nextBytes |= (NearBits(gram, Load16(AnchorBytes(g) + 4)) & 0xFFFF) | 0xFFFF0000u;
            else
                word.nextBytes |= NearBits(gram, Load32(AnchorBytes(g) + 4));
        }
        LongEntry entry;
        entry.gram = gram;
        const uint32_t g = same[0];
        if (same.size() == 1 && groups_[g] <= SignatureMask) {
            const uint32_t tailLength = std::min<uint32_t>(AnchorLength(g), 12) - 4;
            for (uint32_t i = 0; i < tailLength; ++i)
                entry.tail[i / 4] |= static_cast<uint32_t>(AnchorBytes(g)[4 + i]) << (8 * (i % 4));
            entry.index = (AnchorLength(g) << 25) | groups_[g];
        } else {
            entry.index = Shared | AddShared(same);
        }
        Place(entry);
    });
    if (!shortGroups.empty()) {
        hasShort_ = true;
        shortBits_.assign(1024, 0);
        for (auto& entry : shortGroups) {
            shortBits_[entry.first >> 6] |= 1ull << (entry.first & 63);
            shortLists_[entry.first] = AddShared(entry.second);
        }
    }
    for (auto& entry : singleGroups) {
        hasSingle_ = true;
        singleLists_[entry.first] = static_cast<int32_t>(AddShared(entry.second));
    }
    lists_.shrink_to_fit();
}

BodyMatcher::Placed BodyMatcher::PlacedSignature(uint32_t s, std::vector<ElementView>& elements) const {
    Placed placed;
    placed.signature = s;
    store_.Elements(s, elements);
    const SignatureStore::Record& record = store_[s];
    // How far the anchor lies from the start of a match: the elements before it, and its place in its run.
    for (uint32_t e = 0; e < record.anchorElement; ++e) {
        const ElementView& element = elements[e];
        uint64_t shortest = 0, longest = 0;
        if (element.kind == Element::Run) shortest = longest = element.length;
        if (element.kind == Element::Gap) shortest = element.min, longest = element.max;
        if (element.kind == Element::Choice) {
            const uint8_t* p = element.data;
            shortest = Unbounded;
            for (uint32_t o = 0; o < element.length; ++o) {
                const uint32_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
                shortest = std::min<uint64_t>(shortest, length);
                longest = std::max<uint64_t>(longest, length);
                p += 4 + 4 * static_cast<size_t>(length);
            }
        }
        placed.anchorMin += shortest;
        placed.anchorMax = placed.anchorMax == Unbounded || longest == Unbounded ? Unbounded : placed.anchorMax + longest;
    }
    placed.anchorMin += record.anchorPosition;
    if (placed.anchorMax != Unbounded) placed.anchorMax += record.anchorPosition;
    return placed;
}

uint32_t BodyMatcher::AddShared(const std::vector<uint32_t>& groups) {
    std::vector<ListEntry> entries;
    for (uint32_t g : groups) entries.push_back({HeadOf(AnchorBytes(g), AnchorLength(g)), g, AnchorLength(g)});
    std::sort(entries.begin(), entries.end(), [this](const ListEntry& x, const ListEntry& y) {
        if (x.length != y.length) return x.length < y.length;
        if (x.head != y.head) return x.head < y.head;
        return x.length > 8 && std::memcmp(AnchorBytes(x.group) + 8, AnchorBytes(y.group) + 8, x.length - 8) < 0;
    });
    const uint32_t start = static_cast<uint32_t>(lists_.size());
    lists_.push_back({0, static_cast<uint32_t>(entries.size()), 0});
    lists_.insert(lists_.end(), entries.begin(), entries.end());
    return start;
}

void BodyMatcher::Place(LongEntry entry) {
    uint32_t bucket = BucketOf(entry.gram, 0), random = entry.gram | 1;
    for (int moves = 0; moves < 500; ++moves) {
        for (int which = 0; which < 2; ++which)
            for (LongEntry& slot : table_[BucketOf(entry.gram, which)].slots)
                if (!slot.index) {
                    slot = entry;
                    return;
                }
        // Both full: take the place of one of the bucket's entries, which moves to its other bucket.
        random ^= random << 13, random ^= random >> 17, random ^= random << 5;
        std::swap(entry, table_[bucket].slots[random & 3]);
        bucket = BucketOf(entry.gram, 0) == bucket ? BucketOf(entry.gram, 1) : BucketOf(entry.gram, 0);
    }
    // Too full here: a larger table takes all the entries again.
    std::vector<LongEntry> entries(1, entry);
    for (const TableBucket& b : table_)
        for (const LongEntry& slot : b.slots)
            if (slot.index) entries.push_back(slot);
    table_.assign(table_.size() + table_.size() / 8 + 1, TableBucket());
    for (const LongEntry& e : entries) Place(e);
}

}  // namespace RefEngine
