// The body-signature matcher: filter, anchors, and candidates checked under budgets.
#include "refengine/Matcher.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const size_t ChunkSize = 1u << 20;

uint32_t Load32(const uint8_t* p) {
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

uint32_t TableHash(uint32_t gram) { return (gram * 0xC2B2AE35u) ^ (gram >> 15); }

bool Stopped(const volatile long* stop) {
    return stop && ::InterlockedCompareExchange(const_cast<volatile long*>(stop), 0, 0);
}

bool IsWordByte(uint8_t b) { return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_'; }

// Closed intervals of positions, sorted and apart.
struct Interval {
    uint64_t lo, hi;
};
typedef std::vector<Interval> Positions;

void Append(Positions& set, uint64_t lo, uint64_t hi) {
    if (!set.empty() && lo <= set.back().hi + 1) {
        set.back().hi = std::max(set.back().hi, hi);
        return;
    }
    set.push_back({lo, hi});
}

Positions Merge(std::vector<Interval> parts) {
    std::sort(parts.begin(), parts.end(), [](const Interval& a, const Interval& b) { return a.lo < b.lo; });
    Positions out;
    for (const Interval& part : parts) Append(out, part.lo, part.hi);
    return out;
}

}  // namespace

bool ResolveOffset(const Offset& offset, const ObjectInfo& info, uint64_t& first, uint64_t& last) {
    int64_t at = 0;
    switch (offset.kind) {
    case Offset::Anywhere:
        first = 0;
        last = Unbounded;
        return true;
    case Offset::FromStart:
        at = offset.value;
        break;
    case Offset::FromEnd:
        at = static_cast<int64_t>(info.size) - offset.value;
        break;
    case Offset::EntryPoint:
        if (!info.pe) return false;
        at = static_cast<int64_t>(info.entryPoint) + offset.value;
        break;
    case Offset::SectionStart:
        if (!info.pe || offset.section >= info.sections.size()) return false;
        at = static_cast<int64_t>(info.sections[offset.section].offset) + offset.value;
        break;
    case Offset::LastSection:
        if (!info.pe || info.sections.empty()) return false;
        at = static_cast<int64_t>(info.sections.back().offset) + offset.value;
        break;
    case Offset::SectionEnd: {
        // Anywhere inside the section.
        if (!info.pe || offset.section >= info.sections.size()) return false;
        const ObjectInfo::Section& section = info.sections[offset.section];
        if (section.size == 0) return false;
        first = section.offset;
        last = section.offset + section.size - 1;
        return first < info.size;
    }
    }
    if (at < 0 || static_cast<uint64_t>(at) >= info.size) return false;
    first = static_cast<uint64_t>(at);
    last = first + offset.shift;
    return true;
}

BodyMatcher::BodyMatcher(const std::vector<BodySignature>& signatures, const Budgets& budgets)
    : signatures_(signatures), budgets_(budgets), layouts_(signatures.size()), singleBuckets_(256, -1) {
    // Layouts: blocks between unbounded gaps.
    for (size_t s = 0; s < signatures.size(); ++s) {
        const BodySignature& sig = signatures[s];
        Layout& layout = layouts_[s];
        Block block = {0, 0, 0};
        uint64_t gap = 0;
        for (size_t e = 0; e <= sig.elements.size(); ++e) {
            if (e == sig.elements.size() || (sig.elements[e].kind == Element::Gap && sig.elements[e].max == Unbounded)) {
                block.last = e;
                layout.blocks.push_back(block);
                layout.gapBefore.push_back(gap);
                if (e == sig.elements.size()) break;
                gap = sig.elements[e].min;
                block = {e + 1, e + 1, 0};
                continue;
            }
            const Element& element = sig.elements[e];
            if (element.kind == Element::Run) block.minLength += element.run.size();
            if (element.kind == Element::Gap) block.minLength += element.min;
            if (element.kind == Element::Choice) {
                uint64_t shortest = Unbounded;
                for (const ByteRun& option : element.options) shortest = std::min<uint64_t>(shortest, option.size());
                block.minLength += shortest;
            }
            if (e == sig.anchorElement) layout.anchorBlock = layout.blocks.size();
        }
        layout.anchorRunLength = sig.elements[sig.anchorElement].run.size();
    }

    // Groups of equal anchors.
    std::unordered_map<std::string, uint32_t> groupOf;
    for (uint32_t s = 0; s < signatures.size(); ++s) {
        const BodySignature& sig = signatures[s];
        std::string anchor;
        const ByteRun& run = sig.elements[sig.anchorElement].run;
        for (size_t i = 0; i < sig.anchorLength; ++i) anchor += static_cast<char>(run[sig.anchorPosition + i].value);
        auto it = groupOf.find(anchor);
        if (it == groupOf.end()) {
            it = groupOf.emplace(anchor, static_cast<uint32_t>(groups_.size())).first;
            groups_.emplace_back();
            groups_.back().anchor.assign(anchor.begin(), anchor.end());
        }
        groups_[it->second].signatures.push_back(s);
    }

    // Buckets by first bytes, and the filters over them.
    std::unordered_map<uint32_t, uint32_t> longIndex, shortIndex, singleIndex;
    size_t longGroups = 0;
    for (uint32_t g = 0; g < groups_.size(); ++g) {
        const std::vector<uint8_t>& a = groups_[g].anchor;
        if (a.size() >= 4) {
            AddToBucket(longIndex, Load32(a.data()), g);
            ++longGroups;
        } else if (a.size() >= 2) {
            AddToBucket(shortIndex, static_cast<uint32_t>(a[0] | (a[1] << 8)), g);
        } else {
            AddToBucket(singleIndex, a[0], g);
        }
    }
    for (Bucket& bucket : buckets_)
        std::sort(bucket.groups.begin(), bucket.groups.end(), [this](uint32_t x, uint32_t y) {
            const std::vector<uint8_t>&a = groups_[x].anchor, &b = groups_[y].anchor;
            return a.size() != b.size() ? a.size() < b.size() : a < b;
        });

    // At least 32 bits an anchor: about one filter hit in fifty positions of random data at most.
    uint32_t bitsLog2 = 16;
    while ((1ull << bitsLog2) < longGroups * 32 && bitsLog2 < 28) ++bitsLog2;
    gramBits_.assign(static_cast<size_t>(1ull << (bitsLog2 - 5)), 0);
    gramShift_ = 32 - bitsLog2;
    hasLong_ = longGroups > 0;
    size_t tableSize = 16;
    while (tableSize < longIndex.size() * 2) tableSize <<= 1;
    longTable_.assign(tableSize, std::make_pair(0u, 0u));
    for (const auto& entry : longIndex) {
        const uint32_t gram = entry.first;
        const uint32_t bit = (gram * 0x9E3779B1u) >> gramShift_;
        gramBits_[bit >> 5] |= 1u << (bit & 31);
        size_t slot = TableHash(gram) & (tableSize - 1);
        while (longTable_[slot].second) slot = (slot + 1) & (tableSize - 1);
        longTable_[slot] = std::make_pair(gram, entry.second + 1);
    }
    if (!shortIndex.empty()) {
        hasShort_ = true;
        shortBits_.assign(1024, 0);
        for (const auto& entry : shortIndex) shortBits_[entry.first >> 6] |= 1ull << (entry.first & 63);
        shortBuckets_ = shortIndex;
    }
    for (const auto& entry : singleIndex) {
        hasSingle_ = true;
        singleBuckets_[entry.first] = static_cast<int32_t>(entry.second);
    }
}

void BodyMatcher::AddToBucket(std::unordered_map<uint32_t, uint32_t>& index, uint32_t key, uint32_t group) {
    auto it = index.find(key);
    if (it == index.end()) {
        it = index.emplace(key, static_cast<uint32_t>(buckets_.size())).first;
        buckets_.emplace_back();
    }
    buckets_[it->second].groups.push_back(group);
}

const BodyMatcher::Bucket* BodyMatcher::LongBucket(uint32_t gram) const {
    const size_t mask = longTable_.size() - 1;
    for (size_t slot = TableHash(gram) & mask; longTable_[slot].second; slot = (slot + 1) & mask)
        if (longTable_[slot].first == gram) return &buckets_[longTable_[slot].second - 1];
    return nullptr;
}

// One object's search: the per-signature memory of placed blocks, and the work counters.
class BodyMatcher::Search {
public:
    Search(const BodyMatcher& matcher, ByteSource& source, const ObjectInfo& info)
        : m_(matcher), source_(source), info_(info), size_(source.Size()),
          objectBudget_(matcher.budgets_.perObjectBase + matcher.budgets_.perObjectByte * source.Size()) {}

    Result result;

    // The anchors of the bucket that lie at position at; each whole one makes candidates.
    // nearby: the bytes from at on, when the caller has them at hand (nearSize of them).
    void Candidates(const Bucket& bucket, uint64_t at, const uint8_t* nearby, size_t nearSize) {
        uint8_t copy[MaxAnchor];
        const uint8_t* window = nearby;
        size_t got = nearSize;
        if (nearSize < MaxAnchor && at + nearSize < size_) {
            got = source_.Read(at, copy, MaxAnchor);
            window = copy;
        } else if (got > MaxAnchor) {
            got = MaxAnchor;
        }
        const std::vector<uint32_t>& groups = bucket.groups;
        if (groups.size() <= 8) {
            for (uint32_t g : groups) TryGroup(g, window, got, at);
            return;
        }
        // Many anchors begin alike: one binary search for each anchor length.
        size_t i = 0;
        while (i < groups.size()) {
            const size_t length = m_.groups_[groups[i]].anchor.size();
            size_t j = i;
            while (j < groups.size() && m_.groups_[groups[j]].anchor.size() == length) ++j;
            if (length <= got) {
                auto found = std::lower_bound(groups.begin() + i, groups.begin() + j, window,
                                              [this, length](uint32_t g, const uint8_t* w) {
                                                  return std::memcmp(m_.groups_[g].anchor.data(), w, length) < 0;
                                              });
                if (found != groups.begin() + j && std::memcmp(m_.groups_[*found].anchor.data(), window, length) == 0)
                    TryGroup(*found, window, got, at);
            }
            i = j;
        }
    }

    bool Done() const { return result.found || outOfWork_; }

private:
    struct Cursor {
        uint64_t query = Unbounded, start = 0, end = 0;
        bool none = false;
    };
    struct State {
        uint64_t work = 0;
        bool gaveUp = false;
        int left = 0;  // 0: not placed yet, 1: placed, 2: cannot be placed
        uint64_t leftEnd = 0, leftStart = 0;
        std::vector<Cursor> right;
    };
    struct OutOfWork {};

    void TryGroup(uint32_t g, const uint8_t* window, size_t got, uint64_t at) {
        const Group& group = m_.groups_[g];
        if (group.anchor.size() > got || std::memcmp(group.anchor.data(), window, group.anchor.size()) != 0) return;
        for (uint32_t s : group.signatures) {
            if (Done()) return;
            Check(s, at);
        }
    }

    void Spend(State& state, uint64_t amount) {
        state.work += amount;
        candidateWork_ += amount;
        objectWork_ += amount;
        if (objectWork_ > objectBudget_) {
            outOfWork_ = true;
            throw OutOfWork();
        }
        if (state.work > m_.budgets_.perSignature || candidateWork_ > m_.budgets_.perCandidate) throw OutOfWork();
    }

    void GiveUp(uint32_t s, State& state) {
        state.gaveUp = true;
        if (!result.incomplete) {
            result.incomplete = true;
            result.signature = s;
        }
    }

    void Check(uint32_t s, uint64_t anchorAt) {
        const BodySignature& sig = m_.signatures_[s];
        if (sig.target == 1 && !info_.pe) return;
        State& state = states_[s];
        if (state.gaveUp) return;
        const uint64_t runStart = anchorAt - sig.anchorPosition;
        if (anchorAt < sig.anchorPosition) return;
        candidateWork_ = 0;
        try {
            uint64_t start = 0;
            if (Verify(s, sig, state, runStart, start)) {
                result.found = true;
                result.signature = s;
                result.start = start;
                result.incomplete = false;
            }
        } catch (const OutOfWork&) {
            GiveUp(s, state);
        }
    }

    // Does the run match at position p (bytes p .. p+length-1 inside the object)?
    bool RunAt(const BodySignature& sig, const ByteRun& run, uint64_t p, State& state) {
        if (p > size_ || run.size() > size_ - p) return false;
        Spend(state, run.size() / 8 + 1);
        uint8_t bytes[64];
        for (size_t done = 0; done < run.size();) {
            const size_t n = std::min<size_t>(sizeof(bytes), run.size() - done);
            if (source_.Read(p + done, bytes, n) != n) return false;
            for (size_t i = 0; i < n; ++i) {
                const ByteTest& t = run[done + i];
                const bool ok = t.byteClass >= 0 ? sig.classes[static_cast<size_t>(t.byteClass)].test(bytes[i])
                                                 : (bytes[i] & t.mask) == t.value;
                if (!ok) return false;
            }
            done += n;
        }
        return true;
    }

    bool BoundaryAt(char kind, uint64_t p) {
        const bool atStart = p == 0, atEnd = p >= size_;
        if (kind == 'L') {
            if (atStart || atEnd) return true;
            const uint8_t before = source_.At(p - 1);
            return before == '\n' || before == '\r' || source_.At(p) == '\r' || source_.At(p) == '\n';
        }
        if (atStart || atEnd) return true;
        return IsWordByte(source_.At(p - 1)) != IsWordByte(source_.At(p));
    }

    // Where element e can end, for each position where it can start (forward), or where it can start,
    // for each position where it can end (backward).
    Positions Step(const BodySignature& sig, const Element& element, const Positions& in, bool forward, State& state) {
        Positions out;
        switch (element.kind) {
        case Element::Gap: {
            std::vector<Interval> parts;
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
            std::vector<Interval> parts;
            auto place = [&](const ByteRun& option, uint64_t p) {
                const uint64_t length = option.size();
                if (forward) {
                    if (RunAt(sig, option, p, state)) parts.push_back({p + length, p + length});
                } else if (p >= length && RunAt(sig, option, p - length, state)) {
                    parts.push_back({p - length, p - length});
                }
            };
            for (const Interval& r : in)
                for (uint64_t p = r.lo; p <= r.hi; ++p) {
                    if (element.kind == Element::Run)
                        place(element.run, p);
                    else
                        for (const ByteRun& option : element.options) place(option, p);
                }
            return Merge(parts);
        }
        }
        return out;
    }

    // The ends of block b placed from the start positions (forward), or the starts from the ends.
    Positions Walk(const BodySignature& sig, size_t first, size_t last, Positions set, bool forward, State& state) {
        if (forward) {
            for (size_t e = first; e < last && !set.empty(); ++e) set = Step(sig, sig.elements[e], set, true, state);
        } else {
            for (size_t e = last; e-- > first && !set.empty();) set = Step(sig, sig.elements[e], set, false, state);
        }
        return set;
    }

    // The placement of block b that ends earliest, among those that start at query or later.
    bool EarliestPlacement(const BodySignature& sig, const Block& block, uint64_t query, uint64_t latestStart,
                           uint64_t& start, uint64_t& end, State& state) {
        uint64_t best = Unbounded;
        for (uint64_t p = query; p <= latestStart && p <= size_ && (best == Unbounded || p + block.minLength <= best);
             ++p) {
            p = NextPossibleStart(sig, block, p, latestStart, state);
            if (p == Unbounded || p > latestStart) break;
            Spend(state, 1);
            const Positions ends = Walk(sig, block.first, block.last, Positions(1, Interval{p, p}), true, state);
            if (!ends.empty() && ends.front().lo < best) {
                best = ends.front().lo;
                start = p;
            }
        }
        if (best == Unbounded) return false;
        end = best;
        return true;
    }

    // The first position from p where the block's first exact byte lies, when it begins with one.
    uint64_t NextPossibleStart(const BodySignature& sig, const Block& block, uint64_t p, uint64_t latest, State& state) {
        const Element& first = sig.elements[block.first];
        if (first.kind != Element::Run || first.run.empty() || !first.run[0].Exact()) return p;
        const uint8_t wanted = first.run[0].value;
        uint8_t buffer[4096];
        while (p <= latest && p < size_) {
            size_t want = sizeof(buffer);
            if (latest != Unbounded && latest - p + 1 < want) want = static_cast<size_t>(latest - p + 1);
            const size_t got = source_.Read(p, buffer, want);
            if (got == 0) return Unbounded;
            Spend(state, got / 64 + 1);
            const void* hit = std::memchr(buffer, wanted, got);
            if (hit) return p + static_cast<uint64_t>(static_cast<const uint8_t*>(hit) - buffer);
            p += got;
        }
        return Unbounded;
    }

    bool Verify(uint32_t s, const BodySignature& sig, State& state, uint64_t runStart, uint64_t& matchStart) {
        const Layout& layout = m_.layouts_[s];
        Spend(state, 1);
        if (!RunAt(sig, sig.elements[sig.anchorElement].run, runStart, state)) return false;
        uint64_t first = 0, last = 0;
        if (!ResolveOffset(sig.offset, info_, first, last)) return false;
        const Block& home = layout.blocks[layout.anchorBlock];
        const Positions ends = Walk(sig, sig.anchorElement + 1, home.last,
                                    Positions(1, Interval{runStart + layout.anchorRunLength, runStart + layout.anchorRunLength}),
                                    true, state);
        if (ends.empty()) return false;
        const Positions starts = Walk(sig, home.first, sig.anchorElement, Positions(1, Interval{runStart, runStart}), false, state);
        if (starts.empty()) return false;

        // The blocks before: placed once per object, earliest first, from the allowed start.
        if (layout.anchorBlock == 0) {
            bool fits = false;
            for (const Interval& r : starts)
                if (r.hi >= first && r.lo <= last) {
                    matchStart = std::max(r.lo, first);
                    fits = true;
                    break;
                }
            if (!fits) return false;
        } else {
            if (state.left == 0) {
                state.left = 2;
                uint64_t at = first, blockStart = 0, blockEnd = 0;
                for (size_t b = 0; b < layout.anchorBlock; ++b) {
                    const uint64_t latest = b == 0 ? last : Unbounded;
                    if (!EarliestPlacement(sig, layout.blocks[b], at, latest, blockStart, blockEnd, state)) break;
                    if (b == 0) state.leftStart = blockStart;
                    at = blockEnd + layout.gapBefore[b + 1];
                    if (b + 1 == layout.anchorBlock) {
                        state.left = 1;
                        state.leftEnd = at;
                    }
                }
            }
            if (state.left != 1 || starts.back().hi < state.leftEnd) return false;
            matchStart = state.leftStart;
        }

        // The blocks after: each placed earliest after the one before, remembered across candidates.
        uint64_t at = ends.front().lo;
        state.right.resize(layout.blocks.size());
        for (size_t b = layout.anchorBlock + 1; b < layout.blocks.size(); ++b) {
            at += layout.gapBefore[b];
            Cursor& cursor = state.right[b];
            const bool reusable = cursor.query != Unbounded && at >= cursor.query && (cursor.none || at <= cursor.start);
            if (!reusable) {
                cursor.query = at;
                cursor.none = !EarliestPlacement(sig, layout.blocks[b], at, Unbounded, cursor.start, cursor.end, state);
            }
            if (cursor.none) return false;
            at = cursor.end;
        }
        return true;
    }

    const BodyMatcher& m_;
    ByteSource& source_;
    const ObjectInfo& info_;
    const uint64_t size_;
    std::unordered_map<uint32_t, State> states_;
    uint64_t candidateWork_ = 0, objectWork_ = 0;
    const uint64_t objectBudget_;
    bool outOfWork_ = false;
};

BodyMatcher::Result BodyMatcher::Find(ByteSource& source, const ObjectInfo& info, const volatile long* stop) const {
    Search search(*this, source, info);
    if (groups_.empty()) return search.result;
    const uint64_t size = source.Size();
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, ChunkSize)) + 8);
    const size_t chunk = buffer.size() - 8;
    uint64_t base = 0;  // object offset of buffer[0]
    size_t held = 0;    // bytes in the buffer
    const bool hasLong = hasLong_;
    while (base + held < size || held > 0) {
        if (Stopped(stop)) return Result();
        const size_t got = source.Read(base + held, buffer.data() + held, chunk);
        held += got;
        const bool final = got == 0 || base + held >= size;
        // Positions whose four bytes are all here, or every position at the end.
        const size_t limit = final ? held : (held > 3 ? held - 3 : 0);
        const uint8_t* data = buffer.data();
        if (hasLong) {
            // The hot loop: one hashed bit for each position.
            const uint32_t* bits = gramBits_.data();
            const uint32_t shift = gramShift_;
            const size_t end = std::min(limit, held >= 4 ? held - 3 : 0);
            for (size_t i = 0; i < end; ++i) {
                const uint32_t gram = Load32(data + i);
                const uint32_t bit = (gram * 0x9E3779B1u) >> shift;
                if (!(bits[bit >> 5] & (1u << (bit & 31)))) continue;
                if (const Bucket* bucket = LongBucket(gram)) {
                    search.Candidates(*bucket, base + i, data + i, held - i);
                    if (search.Done()) break;
                }
            }
        }
        for (size_t i = 0; (hasShort_ || hasSingle_) && i < limit && !search.Done(); ++i) {
            if (hasShort_ && i + 2 <= held) {
                const uint32_t pair = static_cast<uint32_t>(data[i] | (data[i + 1] << 8));
                if (shortBits_[pair >> 6] & (1ull << (pair & 63))) {
                    const auto it = shortBuckets_.find(pair);
                    if (it != shortBuckets_.end()) search.Candidates(buckets_[it->second], base + i, data + i, held - i);
                }
            }
            if (hasSingle_ && singleBuckets_[data[i]] >= 0)
                search.Candidates(buckets_[singleBuckets_[data[i]]], base + i, data + i, held - i);
        }
        if (search.Done() || final) break;
        std::memmove(buffer.data(), buffer.data() + limit, held - limit);
        base += limit;
        held -= limit;
    }
    return search.result;
}

}  // namespace RefEngine
