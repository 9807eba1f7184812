// The body-signature matcher's search: the filter's hot loop, anchors, and candidates checked under
// budgets (the filter and the table are built in AnchorTable.cpp).
#include "refengine/match/Matcher.h"

#include "refengine/match/MatcherBits.h"
#include "refengine/object/Scratch.h"

#include <windows.h>

#include <emmintrin.h>

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

bool Stopped(const volatile long* stop) {
    return stop && ::InterlockedCompareExchange(const_cast<volatile long*>(stop), 0, 0);
}

bool IsWordByte(uint8_t b) { return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_'; }

// Byte comparisons written out: the system's memcmp and memchr may go a byte at a time, and these
// run for every candidate.
bool SameBytes(const uint8_t* a, const uint8_t* b, size_t n) {
    for (; n >= 4; a += 4, b += 4, n -= 4)
        if (Load32(a) != Load32(b)) return false;
    for (; n; ++a, ++b, --n)
        if (*a != *b) return false;
    return true;
}

// The first i below n where data[i] is key[0] and, for a pair, data[i + 1] is key[1] (or i is the last
// position, whose next byte lies beyond the bytes given); n when there is none. A byte is compared
// with its fold bit (0x20 for a letter of either case, else 0) set.
size_t FindStart(const uint8_t* data, size_t n, const uint8_t key[2], const uint8_t fold[2], bool pair) {
    size_t i = 0;
    const __m128i a = _mm_set1_epi8(static_cast<char>(key[0])), foldA = _mm_set1_epi8(static_cast<char>(fold[0]));
    const __m128i b = _mm_set1_epi8(static_cast<char>(pair ? key[1] : 0)), foldB = _mm_set1_epi8(static_cast<char>(pair ? fold[1] : 0));
    const __m128i anySecond = pair ? _mm_setzero_si128() : _mm_set1_epi8(-1);
    for (; i + 17 <= n; i += 16) {
        const __m128i here = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i)), foldA);
        const __m128i next = _mm_or_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1)), foldB);
        const __m128i hit = _mm_and_si128(_mm_cmpeq_epi8(here, a), _mm_or_si128(_mm_cmpeq_epi8(next, b), anySecond));
        if (const int mask = _mm_movemask_epi8(hit)) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    for (; i < n; ++i)
        if ((data[i] | fold[0]) == key[0] && (!pair || i + 1 == n || (data[i + 1] | fold[1]) == key[1])) return i;
    return n;
}

// ASCII letters in lower case, 16 bytes at a time: the filter reads the object as the anchors are kept.
void FoldInto(const uint8_t* in, uint8_t* out, size_t n) {
    size_t i = 0;
    const __m128i shift = _mm_set1_epi8(static_cast<char>(0x80 - 'A'));  // 'A' to 'Z' become -128 to -103
    const __m128i below = _mm_set1_epi8(static_cast<char>(-128 + 26));
    const __m128i bit = _mm_set1_epi8(0x20);
    for (; i + 16 <= n; i += 16) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i upper = _mm_cmplt_epi8(_mm_add_epi8(x, shift), below);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_or_si128(x, _mm_and_si128(upper, bit)));
    }
    for (; i < n; ++i) out[i] = FoldCase(in[i]);
}

// Where some pairs of bytes lie in a stretch of bytes, found in one pass over it: for many searches
// that would each read the whole stretch for a pair of their own. Each pair wanted has a list of its
// places, in order, however often it lies there.
class PairIndex {
public:
    PairIndex() : slotOf_(65536, 0) {}
    void Build(const uint8_t* bytes, size_t size, const std::vector<uint16_t>& pairs) {
        Clear();
        for (uint16_t pair : pairs) {
            if (slotOf_[pair] || slots_ == 65535) continue;  // the rest, if any, are searched for
            slotOf_[pair] = static_cast<uint16_t>(++slots_);
            if (places_.size() <= slots_) places_.resize(slots_ + 1);
            places_[slots_].clear();
            pairs_.push_back(pair);
        }
        start_ = bytes;
        size_ = size;
        for (size_t i = 0; i + 1 < size; ++i)
            if (const uint16_t slot = slotOf_[Load16(bytes + i)]) places_[slot].push_back(static_cast<uint32_t>(i));
    }
    void Clear() {
        for (uint16_t pair : pairs_) slotOf_[pair] = 0;
        pairs_.clear();
        slots_ = 0;
        size_ = 0;
    }
    // Is the pair indexed over the bytes from p on?
    bool Covers(const uint8_t* p, uint16_t pair) const { return size_ && p >= start_ && p < start_ + size_ && slotOf_[pair]; }
    // The first i below n where p[i] and p[i + 1] are the pair or, for the last, p[i] its first byte
    // (as FindStart); n when there is none.
    size_t Find(const uint8_t* p, size_t n, uint16_t pair) const {
        if (n == 0) return 0;
        const std::vector<uint32_t>& places = places_[slotOf_[pair]];
        const uint32_t from = static_cast<uint32_t>(p - start_);
        const auto at = std::lower_bound(places.begin(), places.end(), from);
        const size_t hit = at != places.end() ? *at - from : n;
        if (hit < n - 1) return hit;
        return p[n - 1] == (pair & 0xFF) ? n - 1 : n;
    }

private:
    const uint8_t* start_ = nullptr;
    size_t size_ = 0;
    std::vector<uint16_t> slotOf_;  // pair -> its list (0: not wanted)
    std::vector<uint16_t> pairs_;   // the pairs wanted now
    size_t slots_ = 0;
    std::vector<std::vector<uint32_t>> places_;  // kept from build to build, with their room
};

// Closed intervals of positions, sorted and apart. Most sets hold one or two: those live inside.
struct Interval {
    uint64_t lo, hi;
};
class Positions {
public:
    Positions() = default;
    Positions(uint64_t lo, uint64_t hi) { push_back({lo, hi}); }
    Positions(const Positions& other) { *this = other; }
    Positions(Positions&& other) noexcept { *this = std::move(other); }
    Positions& operator=(Positions&& other) noexcept {
        std::copy(other.inside_, other.inside_ + Inside, inside_);
        count_ = other.count_;
        spilled_ = std::move(other.spilled_);
        other.count_ = 0;
        other.spilled_.clear();
        return *this;
    }
    Positions& operator=(const Positions& other) {
        if (this != &other) {
            count_ = 0;
            spilled_.clear();
            for (const Interval& r : other) push_back(r);
        }
        return *this;
    }
    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    Interval* begin() { return spilled_.empty() ? inside_ : spilled_.data(); }
    Interval* end() { return begin() + count_; }
    const Interval* begin() const { return spilled_.empty() ? inside_ : spilled_.data(); }
    const Interval* end() const { return begin() + count_; }
    Interval& operator[](size_t i) { return begin()[i]; }
    const Interval& front() const { return begin()[0]; }
    const Interval& back() const { return begin()[count_ - 1]; }
    Interval& back() { return begin()[count_ - 1]; }
    void push_back(const Interval& r) {
        if (spilled_.empty() && count_ < Inside) {
            inside_[count_++] = r;
            return;
        }
        if (spilled_.empty()) spilled_.assign(inside_, inside_ + count_);
        spilled_.push_back(r);
        ++count_;
    }

private:
    static const size_t Inside = 2;
    Interval inside_[Inside];
    size_t count_ = 0;
    std::vector<Interval> spilled_;
};

void Append(Positions& set, uint64_t lo, uint64_t hi) {
    if (!set.empty() && lo <= set.back().hi + 1) {
        set.back().hi = std::max(set.back().hi, hi);
        return;
    }
    set.push_back({lo, hi});
}

Positions Merge(Positions parts) {
    std::sort(parts.begin(), parts.end(), [](const Interval& a, const Interval& b) { return a.lo < b.lo; });
    Positions out;
    for (const Interval& part : parts) Append(out, part.lo, part.hi);
    return out;
}

}  // namespace

uint32_t BodyMatcher::BucketOf(uint32_t gram, int which) const {
    const uint32_t hash = which ? (gram ^ 0x5BD1E995u) * 0xCC9E2D51u : gram * 0xC2B2AE35u;
    return static_cast<uint32_t>((static_cast<uint64_t>(hash) * table_.size()) >> 32);
}

const BodyMatcher::LongEntry* BodyMatcher::FindLong(uint32_t gram) const {
    const TableBucket& first = table_[BucketOf(gram, 0)];
    const TableBucket& second = table_[BucketOf(gram, 1)];
    for (const LongEntry& slot : first.slots)
        if (slot.gram == gram && slot.index) return &slot;
    for (const LongEntry& slot : second.slots)
        if (slot.gram == gram && slot.index) return &slot;
    return nullptr;
}

// One object's search: the per-signature memory of placed blocks, and the work counters.
class BodyMatcher::Search {
public:
    Search(const BodyMatcher& matcher, ByteSource& source, const ObjectInfo& info, const SubsignatureSink* sink,
           const SignatureFilter* wanted)
        : sink_(sink), wanted_(wanted), m_(matcher), store_(matcher.store_), source_(source), info_(info), size_(source.Size()),
          objectBudget_(matcher.budgets_.perObjectBase + matcher.budgets_.perObjectByte * source.Size()) {}

    Result result;

    // A gram's entry hit at position at; nearby: the bytes from at on that the caller has (nearSize),
    // case folded.
    void Long(const LongEntry& entry, uint64_t at, const uint8_t* nearby, size_t nearSize) {
        if (entry.index & Shared) {
            List(entry.index & ~Shared, at, nearby, nearSize);
            return;
        }
        // One group of equal anchors: the entry holds up to twelve of their bytes, which decide most
        // near misses, and all of an anchor that short.
        const uint32_t length = entry.AnchorLength(), tailLength = std::min<uint32_t>(length, 12) - 4;
        if (tailLength) {
            uint8_t next[8] = {};
            if (nearSize >= 12)
                std::memcpy(next, nearby + 4, 8);
            else if (source_.Read(at + 4, next, tailLength) != tailLength)
                return;
            else
                FoldInto(next, next, tailLength);
            const uint32_t mask0 = tailLength >= 4 ? ~0u : (1u << (8 * tailLength)) - 1;
            const uint32_t mask1 = tailLength >= 8 ? ~0u : tailLength <= 4 ? 0 : (1u << (8 * (tailLength - 4))) - 1;
            if ((Load32(next) & mask0) != entry.tail[0] || (Load32(next + 4) & mask1) != entry.tail[1]) return;
        }
        const uint32_t first = entry.index & SignatureMask;
        if (length > 12) {
            Window window(*this, at, nearby, nearSize);
            if (length > window.size || !SameBytes(store_.Anchor(m_.Global(first)) + 12, window.bytes + 12, length - 12)) return;
        }
        CheckGroup(first, at);
    }

    // The groups of a shared list that lie at position at: their first eight bytes, kept in the list,
    // decide most without a look at the anchors themselves.
    void List(uint32_t start, uint64_t at, const uint8_t* nearby, size_t nearSize) {
        Window window(*this, at, nearby, nearSize);
        const uint64_t head = HeadOf(window.bytes, window.size);
        const uint32_t count = m_.lists_[start].group;
        const ListEntry* entries = &m_.lists_[start + 1];
        auto lies = [&](const ListEntry& e) {
            return e.length <= window.size && (head & HeadMask(e.length)) == e.head &&
                   (e.length <= 8 || SameBytes(m_.AnchorBytes(e.group) + 8, window.bytes + 8, e.length - 8));
        };
        if (count <= 8) {
            for (uint32_t i = 0; i < count && !Done(); ++i)
                if (lies(entries[i])) CheckGroup(m_.groups_[entries[i].group], at);
            return;
        }
        // Many anchors begin alike: one binary search for each anchor length.
        for (uint32_t i = 0; i < count && !Done();) {
            const uint32_t length = entries[i].length;
            uint32_t j = i;
            while (j < count && entries[j].length == length) ++j;
            const uint64_t key = head & HeadMask(length);
            const ListEntry* e = std::lower_bound(entries + i, entries + j, key, [](const ListEntry& x, uint64_t k) { return x.head < k; });
            for (; e != entries + j && e->head == key && !Done(); ++e)
                if (lies(*e)) CheckGroup(m_.groups_[e->group], at);
            i = j;
        }
    }

    // The result, with the largest share of a work limit used.
    Result Finish() {
        auto share = [](uint64_t used, uint64_t limit) {
            return static_cast<uint32_t>(std::min<uint64_t>(used * 1000000 / std::max<uint64_t>(limit, 1), UINT32_MAX));
        };
        auto note = [this](uint32_t value, Result::Limit limit, uint32_t signature) {
            if (value <= result.workShare) return;
            result.workShare = value;
            result.workLimit = limit;
            result.workSignature = signature;
        };
        note(share(objectWork_, objectBudget_), Result::ObjectLimit, 0);
        for (const auto& state : states_) note(share(state.second.work, m_.budgets_.perSignature), Result::SignatureLimit, state.first);
        note(share(busiestCandidate_, m_.budgets_.perCandidate), Result::CandidateLimit, busiestSignature_);
        return result;
    }

    // The signatures that start at a known place: where their anchors lie, from there, before the
    // filter's candidates.
    void CheckPlaced(const std::vector<Placed>& placed) {
        for (const Placed& p : placed) {
            if (Done()) return;
            const SignatureStore::Record& record = store_[p.signature];
            if (Inapplicable(record)) continue;
            uint64_t first = 0, last = 0;
            if (!ResolveOffset(store_.GetOffset(p.signature), info_, first, last) || first + p.anchorMin >= size_) continue;
            const uint32_t length = record.anchorLength;
            const uint64_t from = first + p.anchorMin;
            const uint64_t to = last == Unbounded || p.anchorMax == Unbounded || last + p.anchorMax > size_ ? size_ : last + p.anchorMax;
            const uint8_t* anchor = store_.Anchor(p.signature);
            // The anchor is kept case folded: its letters match in either case here, and the run's
            // own test decides.
            uint8_t fold[2] = {0, 0};
            for (size_t i = 0; i < 2 && i < length; ++i) fold[i] = anchor[i] >= 'a' && anchor[i] <= 'z' ? 0x20 : 0;
            for (uint64_t at = from; at <= to && at + length <= size_ && !Done();) {
                size_t got = 0;
                const uint8_t* bytes = source_.View(at, got);
                if (!bytes || got == 0) break;
                const size_t n = static_cast<size_t>(std::min<uint64_t>(got, to - at + 1));
                SpendOnObject(n / 16 + 1, p.signature);
                const size_t hit = FindStart(bytes, n, anchor, fold, length >= 2);
                if (hit == n) {
                    at += n;
                    continue;
                }
                at += hit;
                uint8_t here[MaxAnchor];
                if (source_.Read(at, here, length) == length) {
                    FoldInto(here, here, length);
                    if (SameBytes(here, anchor, length)) Check(p.signature, at);
                }
                ++at;
            }
        }
    }

    // Nothing more to check: a match decided (or waiting only for earlier candidates), or no work left.
    bool Done() const { return result.found || matchQueued_ || outOfWork_; }
    // Candidates wait for bytes beyond those the scan holds.
    bool Waiting() const { return !waiting_.empty(); }

    // The bytes the scan holds now, from object offset start on; more follow unless final. Waiting
    // candidates go on in them first.
    void Near(uint64_t start, const uint8_t* bytes, size_t size, bool final) {
        nearStart_ = start;
        near_ = bytes;
        nearSize_ = size;
        mayWait_ = !final;
        IndexWaitingPairs();
        Resume(mayWait_);
    }

private:
    struct Window {  // the object's bytes from a position on, as far as an anchor reaches, case folded
        Window(Search& search, uint64_t at, const uint8_t* nearby, size_t nearSize) : bytes(nearby), size(nearSize) {
            if (nearSize < MaxAnchor && at + nearSize < search.size_) {
                size = search.source_.Read(at, copy, MaxAnchor);
                FoldInto(copy, copy, size);
                bytes = copy;
            } else if (size > MaxAnchor) {
                size = MaxAnchor;
            }
        }
        uint8_t copy[MaxAnchor];
        const uint8_t* bytes;
        size_t size;
    };
    struct OutOfWork {};
    enum class Outcome { No, Yes, Later };
    static const uint64_t Later = Unbounded - 1;  // a position not known yet: the bytes are not held
    struct Placing {  // a search for a block's earliest placement from p on, resumable
        Placing() = default;
        explicit Placing(uint64_t from) : p(from), active(true) {}
        uint64_t p = 0, best = Unbounded, start = 0;
        bool active = false;
    };
    // What a candidate decided, applied in the order of the candidates.
    struct Decision {
        uint64_t order;
        uint32_t signature;
        bool matched;  // else: gave up
        uint64_t start;
    };
    struct Cursor {
        uint64_t query = Unbounded, start = 0, end = 0;
        bool none = false;
    };
    struct Block {  // elements [first, last) between unbounded gaps
        size_t first, last;
        uint64_t minLength;
        // What is searched for where the block may start: its rarest one or two bytes (keyBytes; 0:
        // none, every position is tried), keyMin to keyMax bytes after the start; fold is 0x20 for a
        // letter that matches in either case.
        uint32_t keyBytes;
        uint64_t keyMin, keyMax;
        uint8_t key[2], fold[2];
        uint16_t Pair() const { return static_cast<uint16_t>(Load16(key)); }
        bool Indexed() const { return keyBytes == 2 && !fold[0] && !fold[1]; }
    };
    struct State {
        bool ready = false;
        std::vector<ElementView> elements;
        std::vector<Block> blocks;
        std::vector<uint64_t> gapBefore;  // minimum of the unbounded gap before each block
        size_t anchorBlock = 0;
        uint64_t work = 0, searched = 0;  // searched: work of searches within their allowance
        uint64_t searchWeight = 0;        // its blocks, each weighed by how far its bytes may vary
        bool gaveUp = false;
        int left = 0;  // 0: not placed yet, 1: placed, 2: cannot be placed
        uint64_t leftEnd = 0, leftStart = 0;
        std::vector<Cursor> right;
        // The candidate placing the blocks after the anchor's (from rightFrom on): where it is, and
        // whether it waits for bytes beyond those the scan holds.
        bool waiting = false;
        uint64_t order = 0, matchStart = 0, candidateWork = 0, rightFrom = 0;
        size_t block = 0;
        uint64_t at = 0;
        Placing placing;
    };

    // Each signature of a group of equal anchors, from its first one, with the anchor at position at.
    void CheckGroup(uint32_t member, uint64_t at) {
        for (; member != ~0u && !Done(); member = m_.nextInGroup_[member]) Check(m_.Global(member), at);
    }

    // A block's spread weighs its placement at most this much: the object's budget bounds the rest.
    static constexpr uint64_t MaxSpread = 1024;

    void Prepare(uint32_t s, State& state) {
        state.ready = true;
        store_.Elements(s, state.elements);
        const SignatureStore::Record& record = store_[s];
        Block block = {};
        uint64_t gap = 0, spread = 0;  // spread: how far the current block's length may vary
        for (size_t e = 0; e <= state.elements.size(); ++e) {
            const bool unbounded = e < state.elements.size() && state.elements[e].kind == Element::Gap &&
                                   state.elements[e].max == Unbounded;
            if (e == state.elements.size() || unbounded) {
                block.last = e;
                state.searchWeight += 1 + std::min<uint64_t>(spread, MaxSpread) / 16;
                spread = 0;
                ChooseKey(state, block);
                state.blocks.push_back(block);
                state.gapBefore.push_back(gap);
                if (e == state.elements.size()) break;
                gap = state.elements[e].min;
                block = Block();
                block.first = block.last = e + 1;
                continue;
            }
            const ElementView& element = state.elements[e];
            if (element.kind == Element::Run) block.minLength += element.length;
            if (element.kind == Element::Gap) {
                block.minLength += element.min;
                spread += element.max - element.min;
            }
            if (element.kind == Element::Choice) {
                uint64_t shortest = Unbounded, longest = 0;
                ForEachOption(element, [&](const uint8_t*, uint32_t length) {
                    shortest = std::min<uint64_t>(shortest, length);
                    longest = std::max<uint64_t>(longest, length);
                });
                block.minLength += shortest;
                spread += longest - shortest;
            }
            if (e == record.anchorElement) state.anchorBlock = state.blocks.size();
        }
        state.right.resize(state.blocks.size());
    }

    template <typename Visit>
    static void ForEachOption(const ElementView& element, Visit visit) {
        const uint8_t* p = element.data;
        for (uint32_t o = 0; o < element.length; ++o) {
            const uint32_t length = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
            visit(p + 4, length);
            p += 4 + 4 * static_cast<size_t>(length);
        }
    }

    void Spend(State& state, uint64_t amount) {
        if (searching_ && TakeFromAllowance(state, amount)) return;
        state.work += amount;
        candidateWork_ += amount;
        objectWork_ += amount;
        if (objectWork_ > objectBudget_) {
            outOfWork_ = true;
            throw OutOfWork();
        }
        if (state.work > m_.budgets_.perSignature || candidateWork_ > m_.budgets_.perCandidate) throw OutOfWork();
    }

    // Work that is the object's alone (no signature's or candidate's).
    void SpendOnObject(uint64_t amount, uint32_t s) {
        objectWork_ += amount;
        if (objectWork_ > objectBudget_) {
            outOfWork_ = true;
            GiveUp(s);
        }
    }

    // Placing a block (searching for its key, trying each start found): placements only move on, so a
    // signature places each block across the object at most once. That much is the object's work alone
    // (Budgets::searchPasses), weighed by how far the block's gaps let its bytes vary (each start tries
    // that many more places); only work beyond it (which no placement needs) counts against the
    // signature's and the candidate's shares.
    uint64_t SearchAllowance(const State& state) const { return m_.budgets_.searchPasses * state.searchWeight * (size_ / 16 + 16); }
    bool TakeFromAllowance(State& state, uint64_t amount) {
        if (state.searched + amount > SearchAllowance(state)) return false;
        state.searched += amount;
        objectWork_ += amount;
        if (objectWork_ > objectBudget_) {
            outOfWork_ = true;
            throw OutOfWork();
        }
        return true;
    }
    void SpendSearching(State& state, uint64_t amount) {
        if (!TakeFromAllowance(state, amount)) Spend(state, amount);
    }
    // While a block is placed, all work is the search's (searching_ set for that long).
    class SearchWork {
    public:
        explicit SearchWork(bool& flag) : flag_(flag), was_(flag) { flag_ = true; }
        ~SearchWork() { flag_ = was_; }
        SearchWork(const SearchWork&) = delete;
        SearchWork& operator=(const SearchWork&) = delete;

    private:
        bool& flag_;
        const bool was_;
    };
    uint64_t SearchLeft(const State& state) const {
        return std::min(Left(objectBudget_, objectWork_), Left(SearchAllowance(state), state.searched) + OwnWorkLeft(state));
    }

    static uint64_t Left(uint64_t budget, uint64_t spent) { return budget > spent ? budget - spent : 0; }
    // The work the signature's and the candidate's shares still allow.
    uint64_t OwnWorkLeft(const State& state) const {
        return std::min(Left(m_.budgets_.perSignature, state.work), Left(m_.budgets_.perCandidate, candidateWork_));
    }

    void GiveUp(uint32_t s) {
        if (!result.incomplete) {
            result.incomplete = true;
            result.signature = s;
        }
    }

    // Dropped by an ignore list, or made for objects of another type.
    bool Inapplicable(const SignatureStore::Record& record) const {
        return (record.target & SignatureStore::Disabled) || !TargetFits(record.target & SignatureStore::TargetMask, info_.types);
    }

    void Check(uint32_t s, uint64_t anchorAt) {
        const SignatureStore::Record& record = store_[s];
        if (Inapplicable(record)) return;
        if (wanted_ && !(*wanted_)(s)) return;
        if (anchorAt < record.anchorPosition) return;
        State& state = states_[s];
        if (state.gaveUp) return;
        candidateWork_ = 0;
        const uint64_t order = ++checks_;
        try {
            if (!state.ready) Prepare(s, state);
            current_ = s;
            uint64_t start = 0;
            const Outcome outcome = Verify(record, state, anchorAt - record.anchorPosition, start);
            if (outcome == Outcome::Later) {
                state.waiting = true;
                state.order = order;
                state.matchStart = start;
                state.candidateWork = candidateWork_;
                waiting_.push_back(s);
            } else if (outcome == Outcome::Yes) {
                Decide({order, s, true, start});
            }
        } catch (const OutOfWork&) {
            state.gaveUp = true;
            Decide({order, s, false, 0});
        }
        NoteCandidate(s);
    }

    void NoteCandidate(uint32_t s) {
        if (candidateWork_ <= busiestCandidate_) return;
        busiestCandidate_ = candidateWork_;
        busiestSignature_ = s;
    }

    // Waiting candidates, in their order, go on in the bytes the scan holds now (or decide now,
    // reading ahead themselves, when they may not wait).
    void Resume(bool mayWait) {
        std::vector<uint32_t> still;
        for (uint32_t s : waiting_)
            if (!GoOn(s, states_[s], mayWait)) still.push_back(s);
        waiting_.swap(still);
        Commit();
    }

    // With many candidates waiting, each would read all the bytes held for the first two bytes of
    // its next block: one pass finds them all.
    void IndexWaitingPairs() {
        pairs_.Clear();
        if (waiting_.size() < 16) return;
        std::vector<uint16_t> pairs;
        for (uint32_t s : waiting_) {
            const Block& block = states_[s].blocks[states_[s].block];
            if (block.Indexed()) pairs.push_back(block.Pair());
        }
        if (pairs.size() >= 16) pairs_.Build(near_, nearSize_, pairs);
    }

    // A waiting candidate goes on, reading ahead itself unless it may wait; false while it waits on.
    // The candidate being checked, if any, keeps its work.
    bool GoOn(uint32_t s, State& state, bool mayWait) {
        const uint64_t work = candidateWork_;
        const uint32_t current = current_;
        candidateWork_ = state.candidateWork;
        current_ = s;
        state.waiting = false;
        try {
            const Outcome outcome = PlaceRight(state, mayWait);
            if (outcome == Outcome::Later) {
                state.waiting = true;
                state.candidateWork = candidateWork_;
            } else if (outcome == Outcome::Yes) {
                Queue({state.order, s, true, state.matchStart});
            }
        } catch (const OutOfWork&) {
            state.gaveUp = true;
            Queue({state.order, s, false, 0});
        }
        NoteCandidate(s);
        candidateWork_ = work;
        current_ = current;
        return !state.waiting;
    }

    // A decision takes effect once no earlier candidate waits: as if each candidate had been
    // checked to its end before the next.
    void Decide(const Decision& decision) {
        Queue(decision);
        // Subsignatures may match at every byte: past a bound, the waiting candidates read ahead
        // themselves and decide now rather than hold countless decisions.
        if (decided_.size() > 4096) Resume(false);
        Commit();
    }

    void Queue(const Decision& decision) {
        const auto at = std::upper_bound(decided_.begin(), decided_.end(), decision.order,
                                         [](uint64_t order, const Decision& d) { return order < d.order; });
        decided_.insert(at, decision);
        matchQueued_ = matchQueued_ || (decision.matched && !(store_[decision.signature].target & SignatureStore::Sub));
    }

    void Commit() {
        const uint64_t firstWaiting = waiting_.empty() ? Unbounded : states_[waiting_.front()].order;
        size_t n = 0;
        for (; n < decided_.size() && decided_[n].order < firstWaiting && !result.found; ++n) Apply(decided_[n]);
        decided_.erase(decided_.begin(), decided_.begin() + n);
        if (result.found) {
            // Later candidates would not have been checked: they are dropped.
            decided_.clear();
            for (uint32_t s : waiting_) states_[s].waiting = false;
            waiting_.clear();
        }
    }

    void Apply(const Decision& decision) {
        const uint32_t s = decision.signature;
        if (!decision.matched) {
            GiveUp(s);
            return;
        }
        // A subsignature's match is counted; it decides only when its logical signature says so.
        if ((store_[s].target & SignatureStore::Sub) && !(sink_ && (*sink_)(s))) return;
        result.found = true;
        result.signature = s;
        result.start = decision.start;
        result.incomplete = false;
    }

    // A negated choice: its n bytes (after p, or before it going back) lie in the object and are none of
    // the options.
    void PlaceNegated(const ElementView& element, uint64_t p, bool forward, State& state, Positions& parts) {
        uint32_t n = 0;
        ForEachOption(element, [&](const uint8_t*, uint32_t length) { n = length; });
        if (!forward && p < n) return;
        const uint64_t start = forward ? p : p - n;
        if (!Reaches(n, start, state)) return;
        bool any = false;
        ForEachOption(element, [&](const uint8_t* tests, uint32_t length) { any = any || TestsPassAt(tests, length, false, start); });
        if (!any) parts.push_back(forward ? Interval{p + n, p + n} : Interval{start, start});
    }

    // Do the tests (exact bytes, or 4-byte tests) match at position p?
    bool TestsAt(const uint8_t* tests, uint32_t length, bool exact, uint64_t p, State& state) {
        return Reaches(length, p, state) && TestsPassAt(tests, length, exact, p);
    }

    // The anchor's run at position p, but for the anchor's own bytes, which made the candidate unless
    // they hold letters (the work counted as for the whole run).
    bool AnchorRunAt(const SignatureStore::Record& record, const ElementView& run, uint64_t p, State& state) {
        if (!Reaches(run.length, p, state)) return false;
        // The filter matched letters in either case: their case is the run's to decide.
        if (record.target & SignatureStore::AnchorCased) return TestsPassAt(run.data, run.length, run.exact, p);
        const uint32_t from = record.anchorPosition, to = from + record.anchorLength, stride = run.exact ? 1 : 4;
        return TestsPassAt(run.data, from, run.exact, p) && TestsPassAt(run.data + stride * to, run.length - to, run.exact, p + to);
    }

    // Do length bytes from p lie in the object? Their comparison's work is counted when they do.
    bool Reaches(uint32_t length, uint64_t p, State& state) {
        if (p > size_ || length > size_ - p) return false;
        Spend(state, length / 8 + 1);
        return true;
    }

    // The bytes the scan holds from object offset p on, or null when it does not hold p.
    const uint8_t* NearView(uint64_t p, size_t& size) const {
        if (p < nearStart_ || p - nearStart_ >= nearSize_) return nullptr;
        size = nearSize_ - static_cast<size_t>(p - nearStart_);
        return near_ + (p - nearStart_);
    }

    // The tests against the object's bytes at p, the work already counted.
    bool TestsPassAt(const uint8_t* tests, uint32_t length, bool exact, uint64_t p) {
        // Most candidates lie in the bytes the scan holds: compared there, without a copy.
        size_t held = 0;
        if (const uint8_t* bytes = NearView(p, held))
            if (length <= held) return TestsPass(bytes, tests, length, exact);
        uint8_t bytes[64];
        for (uint32_t done = 0; done < length;) {
            const uint32_t n = std::min<uint32_t>(sizeof(bytes), length - done);
            if (source_.Read(p + done, bytes, n) != n) return false;
            if (!TestsPass(bytes, exact ? tests + done : tests + 4 * done, n, exact)) return false;
            done += n;
        }
        return true;
    }

    bool TestsPass(const uint8_t* bytes, const uint8_t* tests, uint32_t n, bool exact) const {
        if (exact) return SameBytes(bytes, tests, n);
        for (uint32_t i = 0; i < n; ++i)
            if (!store_.TestByte(tests + 4 * i, bytes[i])) return false;
        return true;
    }

    bool BoundaryAt(char kind, uint64_t p) {
        if (p == 0 || p >= size_) return true;
        if (kind == 'L') {
            const uint8_t before = source_.At(p - 1), here = source_.At(p);
            return before == '\n' || before == '\r' || here == '\r' || here == '\n';
        }
        return IsWordByte(source_.At(p - 1)) != IsWordByte(source_.At(p));
    }

    // Where the element can end, for each position where it can start (forward), or where it can
    // start, for each position where it can end (backward).
    Positions Step(const ElementView& element, const Positions& in, bool forward, State& state) {
        Positions out;
        switch (element.kind) {
        case Element::Gap: {
            Positions parts;
            for (const Interval& r : in) {
                Spend(state, 1);
                if (forward) {
                    const uint64_t lo = r.lo + element.min;
                    if (lo > size_) continue;
                    const uint64_t hi = element.max == Unbounded || r.hi + element.max > size_ ? size_ : r.hi + element.max;
                    parts.push_back({lo, hi});
                } else {
                    if (r.hi < element.min) continue;
                    const uint64_t hi = r.hi - element.min;
                    const uint64_t lo = element.max == Unbounded || r.lo < element.max ? 0 : r.lo - element.max;
                    parts.push_back({lo, hi});
                }
            }
            return Merge(parts);
        }
        case Element::Boundary:
            for (const Interval& r : in)
                for (uint64_t p = r.lo; p <= r.hi; ++p) {
                    Spend(state, 1);
                    if (BoundaryAt(element.boundary, p)) Append(out, p, p);
                }
            return out;
        case Element::Run:
        case Element::Choice: {
            Positions parts;
            auto place = [&](const uint8_t* tests, uint32_t length, bool exact, uint64_t p) {
                if (forward) {
                    if (TestsAt(tests, length, exact, p, state)) parts.push_back({p + length, p + length});
                } else if (p >= length && TestsAt(tests, length, exact, p - length, state)) {
                    parts.push_back({p - length, p - length});
                }
            };
            for (const Interval& r : in) {
                if (element.kind == Element::Run && element.exact && r.hi - r.lo >= WideStretch &&
                    PlaceInStretch(element, r, forward, state, [&](uint64_t p) { place(element.data, element.length, true, p); }))
                    continue;
                for (uint64_t p = r.lo; p <= r.hi; ++p) {
                    if (element.kind == Element::Run)
                        place(element.data, element.length, element.exact, p);
                    else if (element.negated)
                        PlaceNegated(element, p, forward, state, parts);
                    else
                        ForEachOption(element, [&](const uint8_t* tests, uint32_t length) { place(tests, length, false, p); });
                }
            }
            return Merge(parts);
        }
        }
        return out;
    }

    // An exact run that may lie anywhere in a wide stretch (after a gap "{-150}"): the bytes of the
    // stretch searched for the run's rarest byte, as a search is (and counted so), place(p) called
    // only where that byte is. False, with nothing done, when the stretch's bytes do not lie together.
    static constexpr uint64_t WideStretch = 32;
    template <typename Place>
    bool PlaceInStretch(const ElementView& run, const Interval& r, bool forward, State& state, Place place) {
        // Where the run itself would start, for each position of the stretch.
        if (!forward && r.lo < run.length) return false;
        const uint64_t from = forward ? r.lo : r.lo - run.length, to = forward ? r.hi : r.hi - run.length;
        uint32_t rare = 0;
        for (uint32_t i = 1; i < std::min<uint32_t>(run.length, 32); ++i)
            if (Commonness(run.data[i]) < Commonness(run.data[rare])) rare = i;
        size_t held = 0;
        const uint8_t* bytes = NearView(from, held);
        if (!bytes) bytes = source_.View(from, held);  // as the tests at each position would read them
        if (!bytes || held <= to - from + rare) return false;
        const size_t width = static_cast<size_t>(to - from + 1);
        Spend(state, width / 16 + 1);
        const uint8_t* in = bytes + rare;
        for (const uint8_t* q = in; (q = static_cast<const uint8_t*>(std::memchr(q, run.data[rare], width - (q - in)))) != nullptr; ++q) {
            const uint64_t start = from + static_cast<uint64_t>(q - in);
            place(forward ? start : start + run.length);
        }
        return true;
    }

    Positions Walk(State& state, size_t first, size_t last, Positions set, bool forward) {
        // Most walks are one position through runs and fixed gaps: no sets needed for those.
        while (first < last && set.size() == 1 && set[0].lo == set[0].hi) {
            const ElementView& element = state.elements[forward ? first : last - 1];
            uint64_t p = set[0].lo;
            if (element.kind == Element::Run) {
                if (forward ? !TestsAt(element.data, element.length, element.exact, p, state)
                            : p < element.length || !TestsAt(element.data, element.length, element.exact, p - element.length, state))
                    return Positions();
                p = forward ? p + element.length : p - element.length;
            } else if (element.kind == Element::Gap && element.min == element.max) {
                if (forward ? p + element.min > size_ : p < element.min) return Positions();
                p = forward ? p + element.min : p - element.min;
            } else {
                break;
            }
            set[0].lo = set[0].hi = p;
            if (forward) ++first;
            else --last;
        }
        if (forward) {
            for (size_t e = first; e < last && !set.empty(); ++e) set = Step(state.elements[e], set, true, state);
        } else {
            for (size_t e = last; e-- > first && !set.empty();) set = Step(state.elements[e], set, false, state);
        }
        return set;
    }

    // The placement of the block that ends earliest, among those that start from placing.p to latest.
    // Later when the search needs bytes beyond those the scan holds and may wait for them (then it
    // goes on from placing, which says how far it got).
    Outcome EarliestPlacement(State& state, const Block& block, Placing& placing, uint64_t latest, bool mayWait,
                              uint64_t& start, uint64_t& end) {
        const SearchWork searching(searching_);
        for (; placing.p <= latest && placing.p <= size_ && (placing.best == Unbounded || placing.p + block.minLength <= placing.best);
             ++placing.p) {
            const uint64_t p = NextPossibleStart(state, block, placing.p, latest, mayWait);
            if (p == Later) return Outcome::Later;
            if (p == Unbounded || p > latest) break;
            placing.p = p;
            Spend(state, 1);
            const Positions ends = Walk(state, block.first, block.last, Positions(p, p), true);
            if (!ends.empty() && ends.front().lo < placing.best) {
                placing.best = ends.front().lo;
                placing.start = p;
            }
        }
        if (placing.best == Unbounded) return Outcome::No;
        start = placing.start;
        end = placing.best;
        return Outcome::Yes;
    }

    // The first position from p where the block may start: as early as a place of its key allows, when
    // it has one. Later, with p as far as the search got, when the bytes from p on are not held and the
    // search may wait for them.
    uint64_t NextPossibleStart(State& state, const Block& block, uint64_t& p, uint64_t latest, bool mayWait) {
        size_t got = 0;
        if (block.keyBytes == 0) return mayWait && p < size_ && !NearView(p, got) ? Later : p;
        // Where the key may lie for a start from p on, and for the latest start.
        uint64_t q = p + block.keyMin;
        const uint64_t lastKey = latest == Unbounded ? Unbounded : latest + block.keyMax;
        const bool pair = block.keyBytes == 2;
        while (q <= lastKey && q < size_) {
            // Searched where the bytes lie: in the scan's buffer, else in the source's pages. A
            // search that may wait for the scan's next bytes reads none itself: many candidates
            // search the same stretch, and each page read from a file is a copy.
            const uint8_t* bytes = NearView(q, got);
            if (!bytes) {
                if (mayWait) {
                    p = q - block.keyMin;
                    return Later;
                }
                bytes = source_.View(q, got);
            }
            if (!bytes || got == 0) return Unbounded;
            if (lastKey != Unbounded && lastKey - q + 1 < got) got = static_cast<size_t>(lastKey - q + 1);
            // No further than the work left allows: a start found beyond that would run out of work
            // all the same, after searching a view as long as the object (an archive member in memory).
            const uint64_t left = SearchLeft(state);
            if (got / 16 > left) got = static_cast<size_t>(left * 16);
            const size_t hit = block.Indexed() && pairs_.Covers(bytes, block.Pair()) ? pairs_.Find(bytes, got, block.Pair())
                                                                                   : FindStart(bytes, got, block.key, block.fold, pair);
            SpendSearching(state, hit / 16 + 1);  // about the cost of a step of a walk
            if (hit < got) {
                const uint64_t key = q + hit;
                return key >= p + block.keyMax ? key - block.keyMax : p;
            }
            q += got;
        }
        return Unbounded;
    }

    // The bytes that the search for the block's start looks for: of the one or two bytes of its runs
    // that are known exactly (or but for case), those expected least often, weighed by how far their
    // distance from the start may vary (a hit is tried at each distance).
    void ChooseKey(const State& state, Block& block) const {
        double best = 1.0;  // no key: every position
        block.keyBytes = 0;
        uint64_t lo = 0, hi = 0;  // the distance from the block's start to the element
        for (size_t e = block.first; e < block.last; ++e) {
            const ElementView& element = state.elements[e];
            if (element.kind == Element::Gap) {
                lo += element.min;
                hi += element.max;
            } else if (element.kind == Element::Choice) {
                uint64_t shortest = Unbounded, longest = 0;
                ForEachOption(element, [&](const uint8_t*, uint32_t length) {
                    shortest = std::min<uint64_t>(shortest, length);
                    longest = std::max<uint64_t>(longest, length);
                });
                lo += shortest;
                hi += longest;
            } else if (element.kind == Element::Run) {
                const double spread = static_cast<double>(hi - lo + 1);
                int previous = -1;
                uint8_t previousFold = 0;
                for (uint32_t i = 0; i < element.length; ++i) {
                    uint8_t byte = 0, fold = 0;
                    const bool keyed = element.exact ? (byte = element.data[i], true) : store_.KeyOf(element.data + 4 * i, byte, fold);
                    if (!keyed) {
                        previous = -1;
                        continue;
                    }
                    const double single = spread * Commonness(byte, fold != 0);
                    if (single < best) {
                        best = single;
                        block.keyBytes = 1;
                        block.keyMin = lo + i;
                        block.keyMax = hi + i;
                        block.key[0] = byte;
                        block.fold[0] = fold;
                    }
                    if (previous >= 0) {
                        // A byte after the same byte is far more likely than two bytes drawn apart.
                        const double second = previous == byte ? 0.5 : Commonness(byte, fold != 0);
                        const double pair = spread * Commonness(static_cast<uint8_t>(previous), previousFold != 0) * second;
                        if (pair < best) {
                            best = pair;
                            block.keyBytes = 2;
                            block.keyMin = lo + i - 1;
                            block.keyMax = hi + i - 1;
                            block.key[0] = static_cast<uint8_t>(previous);
                            block.fold[0] = previousFold;
                            block.key[1] = byte;
                            block.fold[1] = fold;
                        }
                    }
                    previous = byte;
                    previousFold = fold;
                }
                lo += element.length;
                hi += element.length;
            }
        }
    }

    // Later when the blocks after the anchor's wait for bytes the scan has not read yet.
    Outcome Verify(const SignatureStore::Record& record, State& state, uint64_t runStart, uint64_t& matchStart) {
        // A candidate costs something however quickly it fails, so that countless candidates end in
        // a limit rather than in a stall.
        Spend(state, 16);
        const ElementView& anchorRun = state.elements[record.anchorElement];
        if (!AnchorRunAt(record, anchorRun, runStart, state)) return Outcome::No;
        uint64_t first = 0, last = 0;
        if (!ResolveOffset(record.offsetKind == Offset::Anywhere ? Offset() : store_.GetOffset(current_), info_, first, last))
            return Outcome::No;
        const Block& home = state.blocks[state.anchorBlock];
        const uint64_t runEnd = runStart + anchorRun.length;
        const Positions ends = Walk(state, record.anchorElement + 1, home.last, Positions(runEnd, runEnd), true);
        if (ends.empty()) return Outcome::No;
        const Positions starts = Walk(state, home.first, record.anchorElement, Positions(runStart, runStart), false);
        if (starts.empty()) return Outcome::No;

        // The blocks before: placed once per object, earliest first, from the allowed start.
        if (state.anchorBlock == 0) {
            bool fits = false;
            for (const Interval& r : starts)
                if (r.hi >= first && r.lo <= last) {
                    matchStart = std::max(r.lo, first);
                    fits = true;
                    break;
                }
            if (!fits) return Outcome::No;
        } else {
            if (state.left == 0) {
                state.left = 2;
                uint64_t at = first, blockStart = 0, blockEnd = 0;
                for (size_t b = 0; b < state.anchorBlock; ++b) {
                    Placing placing(at);
                    if (EarliestPlacement(state, state.blocks[b], placing, b == 0 ? last : Unbounded, false, blockStart, blockEnd) != Outcome::Yes)
                        break;
                    if (b == 0) state.leftStart = blockStart;
                    at = blockEnd + state.gapBefore[b + 1];
                    if (b + 1 == state.anchorBlock) {
                        state.left = 1;
                        state.leftEnd = at;
                    }
                }
            }
            if (state.left != 1 || starts.back().hi < state.leftEnd) return Outcome::No;
            matchStart = state.leftStart;
        }

        const uint64_t from = ends.front().lo;
        if (state.waiting) {
            // Another candidate of this signature waits. Placed from no earlier, this one can only
            // decide as it does (placements only move on), and after it.
            if (from >= state.rightFrom) return Outcome::No;
            // Rare (a block of varying length around the anchor): that one decides first, now.
            GoOn(current_, state, false);
            waiting_.erase(std::find(waiting_.begin(), waiting_.end(), current_));
            Commit();
            if (state.gaveUp || Done()) return Outcome::No;
        }
        state.rightFrom = from;
        state.block = state.anchorBlock + 1;
        state.at = from;
        state.placing.active = false;
        return PlaceRight(state, mayWait_);
    }

    // The blocks after the anchor's, from state.block on: each placed earliest after the one before
    // (from state.at), remembered across candidates. Later when the placement may wait for bytes
    // beyond those held and does.
    Outcome PlaceRight(State& state, bool mayWait) {
        for (; state.block < state.blocks.size(); ++state.block) {
            Cursor& cursor = state.right[state.block];
            if (!state.placing.active) {
                state.at += state.gapBefore[state.block];
                const bool reusable = cursor.query != Unbounded && state.at >= cursor.query && (cursor.none || state.at <= cursor.start);
                if (reusable) {
                    if (cursor.none) return Outcome::No;
                    state.at = cursor.end;
                    continue;
                }
                cursor.query = state.at;
                state.placing = Placing(state.at);
            }
            const Outcome placed = EarliestPlacement(state, state.blocks[state.block], state.placing, Unbounded, mayWait,
                                                     cursor.start, cursor.end);
            if (placed == Outcome::Later) return placed;
            state.placing.active = false;
            cursor.none = placed == Outcome::No;
            if (cursor.none) return Outcome::No;
            state.at = cursor.end;
        }
        return Outcome::Yes;
    }

    const SubsignatureSink* sink_;
    const SignatureFilter* wanted_;
    const BodyMatcher& m_;
    const SignatureStore& store_;
    ByteSource& source_;
    const ObjectInfo& info_;
    const uint64_t size_;
    std::unordered_map<uint32_t, State> states_;
    uint64_t candidateWork_ = 0, objectWork_ = 0;
    uint64_t busiestCandidate_ = 0;  // the most work a candidate took, and its signature
    uint32_t busiestSignature_ = 0;
    const uint64_t objectBudget_;
    bool outOfWork_ = false;
    uint32_t current_ = 0;  // the signature being verified
    uint64_t nearStart_ = 0;
    const uint8_t* near_ = nullptr;
    size_t nearSize_ = 0;
    bool mayWait_ = false;             // more bytes follow those held
    bool searching_ = false;           // a block is being placed: its work is the search's
    uint64_t checks_ = 0;              // candidates checked: their order
    std::vector<uint32_t> waiting_;    // signatures whose candidate waits, in the candidates' order
    std::vector<Decision> decided_;    // decisions behind a waiting candidate, in order
    PairIndex pairs_;                  // of the bytes held, for the waiting candidates' next blocks
    bool matchQueued_ = false;
};

// The hot loop: one hashed bit for each position, and for its rare hits the bits of the next bytes,
// in a function of its own so that all it needs stays in registers. The 32-bit build has too few
// of them for the shift as well (it was read from the stack twice a position), hence a loop for each.
template <bool FetchAhead, uint32_t Shift>
size_t BodyMatcher::NextHit(const uint8_t* data, size_t i, size_t end, size_t held) const {
    const FilterWord* words = filter_.data();
    auto passes = [&](size_t at) {
        const uint32_t bit = GramHash(Load32(data + at)) >> Shift;
        const FilterWord& word = words[bit >> 5];
        if (!((word.grams >> (bit & 31)) & 1)) return false;
        // The next four bytes, when here: most near misses end before the table.
        if (at + 8 > held) return true;
        const uint32_t next = NearBits(Load32(data + at), Load32(data + at + 4));
        return (word.nextBytes & next) == next;
    };
    if (FetchAhead) {
        // The word of a position some steps ahead is asked for now. Its bit is computed again when
        // its turn comes: a multiply costs less than keeping the bits in a ring.
        for (const size_t ahead = end > Ahead ? end - Ahead : 0; i < ahead; ++i) {
            __builtin_prefetch(&words[(GramHash(Load32(data + i + Ahead)) >> Shift) >> 5]);
            if (passes(i)) return i;
        }
    }
    for (; i < end; ++i)
        if (passes(i)) return i;
    return end;
}

template <bool FetchAhead, uint32_t... Shifts>
BodyMatcher::NextHitLoop BodyMatcher::PickLoop(uint32_t shift, std::integer_sequence<uint32_t, Shifts...>) {
    static const NextHitLoop loops[] = {&BodyMatcher::NextHit<FetchAhead, MinShift + Shifts>...};
    return loops[shift - MinShift];
}

BodyMatcher::Result BodyMatcher::Find(ByteSource& source, const ObjectInfo& info, const volatile long* stop,
                                      const SubsignatureSink* sink, const SignatureFilter* wanted) const {
    Search search(*this, source, info, sink, wanted);
    search.CheckPlaced(placed_);
    if (groups_.empty()) return search.Finish();
    const uint64_t size = source.Size();
    // The bytes as read, for the candidates; and with case folded, for the filter and the anchors, a
    // slice at a time (with the bytes an anchor at its last position reaches).
    const size_t chunkSize = std::max<size_t>(budgets_.readChunk, 16);
    ScratchBuffer bufferScratch, foldedScratch;  // the scanning context's, kept from one object to the next
    std::vector<uint8_t>& buffer = bufferScratch.bytes;
    buffer.resize(static_cast<size_t>(std::min<uint64_t>(size, chunkSize)) + 8);
    const size_t chunk = buffer.size() - 8;
    static const size_t Slice = 1u << 16, Reach = MaxAnchor + 8;
    std::vector<uint8_t>& folded = foldedScratch.bytes;
    folded.resize(std::min(buffer.size(), Slice + Reach));
    // A filter larger than the second-level cache is read from further away: ask for the word of a
    // position some steps ahead (for a smaller one, asking costs more than it saves).
    const bool fetchAhead = filter_.size() * sizeof(FilterWord) > (256u << 10);
    const NextHitLoop nextHit = fetchAhead ? PickLoop<true>(gramShift_, std::make_integer_sequence<uint32_t, MaxShift - MinShift + 1>())
                                           : PickLoop<false>(gramShift_, std::make_integer_sequence<uint32_t, MaxShift - MinShift + 1>());
    uint64_t base = 0;  // object offset of buffer[0]
    size_t held = 0;    // bytes in the buffer
    while (base + held < size || held > 0) {
        if (Stopped(stop)) return Result();
        const size_t got = source.Read(base + held, buffer.data() + held, chunk);
        held += got;
        const bool final = got == 0 || base + held >= size;
        // Positions whose four bytes are all here, or every position at the end.
        const size_t limit = final ? held : (held > 3 ? held - 3 : 0);
        search.Near(base, buffer.data(), held, final);
        for (size_t from = 0; from < limit && !search.Done(); from += Slice) {
            // Positions [from, to) of the chunk, their folded bytes in data (data[0] is position from).
            const size_t to = std::min(from + Slice, limit), foldedEnd = std::min(to + Reach, held), sliceHeld = foldedEnd - from;
            FoldInto(buffer.data() + from, folded.data(), sliceHeld);
            const uint8_t* data = folded.data();
            // Anchors under four bytes, looked up at every position, are taken in turn with the filter's
            // hits: a candidate at an earlier position is always checked first, however the object is read.
            size_t shortAt = 0;  // in the slice
            auto shortUpTo = [&](size_t end) {
                if (!hasShort_ && !hasSingle_) return;
                for (; shortAt < end && !search.Done(); ++shortAt) {
                    const size_t i = shortAt;
                    if (hasShort_ && i + 2 <= sliceHeld) {
                        const uint32_t pair = static_cast<uint32_t>(data[i] | (data[i + 1] << 8));
                        if (shortBits_[pair >> 6] & (1ull << (pair & 63))) {
                            const auto it = shortLists_.find(pair);
                            if (it != shortLists_.end()) search.List(it->second, base + from + i, data + i, sliceHeld - i);
                        }
                    }
                    if (hasSingle_ && singleLists_[data[i]] >= 0)
                        search.List(static_cast<uint32_t>(singleLists_[data[i]]), base + from + i, data + i, sliceHeld - i);
                }
            };
            if (hasLong_) {
                const size_t gramsEnd = std::min(to, held >= 4 ? held - 3 : 0), end = gramsEnd > from ? gramsEnd - from : 0;
                // Hits wait in a short queue while their table buckets are fetched; they are taken in order.
                struct Hit {
                    uint32_t gram;
                    size_t at;
                };
                Hit queue[8];
                size_t first = 0, last = 0;
                auto take = [&]() {
                    const Hit& hit = queue[first++ % 8];
                    shortUpTo(hit.at);
                    if (search.Done()) return;
                    if (const LongEntry* entry = FindLong(hit.gram))
                        search.Long(*entry, base + from + hit.at, data + hit.at, sliceHeld - hit.at);
                };
                for (size_t i = 0; i < end; ++i) {
                    i = (this->*nextHit)(data, i, end, sliceHeld);
                    if (i == end) break;
                    const uint32_t gram = Load32(data + i);
                    __builtin_prefetch(&table_[BucketOf(gram, 0)]);
                    __builtin_prefetch(&table_[BucketOf(gram, 1)]);
                    if (last - first == 8) {
                        take();
                        if (search.Done()) break;
                    }
                    queue[last++ % 8] = {gram, i};
                }
                while (first != last && !search.Done()) take();
            }
            shortUpTo(to - from);
        }
        if ((search.Done() && !search.Waiting()) || final) break;
        std::memmove(buffer.data(), buffer.data() + limit, held - limit);
        base += limit;
        held -= limit;
    }
    return search.Finish();
}

}  // namespace RefEngine
