// Matching bodies, hashes and archive members.
#include "refengine/Scanner.h"

#include "refengine/Hash.h"

#include <windows.h>

namespace RefEngine {
namespace {

const uint64_t CheckBudget = 2000000;  // segment checks per object; beyond it a candidate is dropped

bool Stopped(const volatile long* stop) { return stop && ::InterlockedCompareExchange(const_cast<volatile long*>(stop), 0, 0); }

bool MatchSegment(const Segment& segment, ByteSource& source, uint64_t start, uint64_t& budget) {
    if (budget == 0) return false;
    --budget;
    const size_t length = segment.Length();
    if (start + length > source.Size()) return false;
    for (size_t i = 0; i < length; ++i)
        if (!segment.wildcard[i] && source.At(start + i) != segment.bytes[i]) return false;
    return true;
}

// Is there a placement of segments after i, when segment i ends at end?
bool RightFits(const BodySignature& sig, size_t i, uint64_t end, ByteSource& source, uint64_t& budget) {
    if (i + 1 == sig.segments.size()) return true;
    const Gap& gap = sig.gaps[i];
    const Segment& next = sig.segments[i + 1];
    if (source.Size() < next.Length()) return false;
    const uint64_t last = source.Size() - next.Length();
    if (end + gap.min > last) return false;
    const uint64_t high = gap.max == Unbounded || end + gap.max > last ? last : end + gap.max;
    for (uint64_t start = end + gap.min; start <= high && budget; ++start)
        if (MatchSegment(next, source, start, budget) && RightFits(sig, i + 1, start + next.Length(), source, budget))
            return true;
    return false;
}

bool OffsetFits(const BodySignature& sig, uint64_t start, uint64_t size) {
    switch (sig.offsetKind) {
    case OffsetKind::FromStart:
        return start == sig.offset;
    case OffsetKind::FromEnd:
        return sig.offset <= size && start == size - sig.offset;
    default:
        return true;
    }
}

// Is there a placement of segments before i, when segment i starts at start, that meets the offset?
bool LeftFits(const BodySignature& sig, size_t i, uint64_t start, ByteSource& source, uint64_t& budget,
              uint64_t& matchStart) {
    if (i == 0) {
        matchStart = start;
        return OffsetFits(sig, start, source.Size());
    }
    const Gap& gap = sig.gaps[i - 1];
    const Segment& previous = sig.segments[i - 1];
    if (start < gap.min + previous.Length()) return false;
    const uint64_t highest = start - gap.min - previous.Length();
    const uint64_t lowest =
        gap.max == Unbounded || gap.max + previous.Length() > start ? 0 : start - gap.max - previous.Length();
    for (uint64_t candidate = highest + 1; candidate-- > lowest && budget;)
        if (MatchSegment(previous, source, candidate, budget) &&
            LeftFits(sig, i - 1, candidate, source, budget, matchStart))
            return true;
    return false;
}

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return wide;
}

}  // namespace

Engine::Engine(const Database& database) : database_(database) {
    for (uint32_t id = 0; id < database.bodies.size(); ++id) {
        const BodySignature& sig = database.bodies[id];
        const Segment& segment = sig.segments[sig.anchorSegment];
        automaton_.Add(&segment.bytes[sig.anchorOffset], sig.anchorLength, id);
    }
    automaton_.Build();
}

bool Engine::Verify(const BodySignature& sig, ByteSource& source, uint64_t anchorStart, uint64_t& matchStart,
                    uint64_t& budget) const {
    if (anchorStart < sig.anchorOffset) return false;
    const uint64_t segmentStart = anchorStart - sig.anchorOffset;
    const Segment& segment = sig.segments[sig.anchorSegment];
    return MatchSegment(segment, source, segmentStart, budget) &&
           RightFits(sig, sig.anchorSegment, segmentStart + segment.Length(), source, budget) &&
           LeftFits(sig, sig.anchorSegment, segmentStart, source, budget, matchStart);
}

Detection Engine::Scan(ByteSource& source, const std::wstring& objectName, const volatile long* stop,
                       const MemberCallback& member, int depth) const {
    Detection detection;
    // Bodies: one pass through the automaton, each anchor hit checked where it lies.
    std::vector<uint8_t> block(65536);
    uint64_t budget = CheckBudget;
    uint32_t state = 0;
    for (uint64_t offset = 0; offset < source.Size() && !detection.found;) {
        if (Stopped(stop)) return Detection();
        const size_t got = source.Read(offset, block.data(), block.size());
        if (got == 0) break;
        automaton_.Feed(block.data(), got, offset, state, [&](uint32_t id, uint64_t last) {
            const BodySignature& sig = database_.bodies[id];
            uint64_t start = 0;
            if (!Verify(sig, source, last + 1 - sig.anchorLength, start, budget)) return true;
            detection.found = true;
            detection.name = sig.name;
            detection.matchStart = start;
            detection.curable = depth == 0 && sig.cure == CureKind::Truncate && start > 0;
            return false;
        });
        offset += got;
    }
    if (detection.found) return detection;

    // Hashes, only for sizes that some hash signature names.
    if (database_.hashedSizes.count(source.Size())) {
        std::vector<uint8_t> digests[3];
        for (const HashSignature& sig : database_.hashes) {
            if (sig.size != source.Size()) continue;
            std::vector<uint8_t>& digest = digests[sig.kind];
            if (digest.empty()) digest = Digest(sig.kind, source);
            if (digest == sig.digest) {
                detection.found = true;
                detection.name = sig.name;
                return detection;
            }
        }
    }

    // Archive members, each with its own verdict; the first detected member's name marks the archive.
    if (depth < MaxArchiveDepth) {
        ForEachZipMember(source, limits_, [&](const std::string& name, const std::vector<uint8_t>& data) {
            if (Stopped(stop)) return false;
            MemorySource inner(data.data(), data.size());
            const std::wstring innerName = objectName + L"\\" + Widen(name);
            Detection found = Scan(inner, innerName, stop, member, depth + 1);
            if (member) member(innerName, found);
            if (found.found && !detection.found) {
                detection = found;
                detection.curable = false;
            }
            return true;
        });
    }
    return Stopped(stop) ? Detection() : detection;
}

}  // namespace RefEngine
