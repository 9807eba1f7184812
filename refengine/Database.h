// The signatures of the reference engine and the readers of its base formats:
//   .tvb  its own:  Name|Offset|HexSignature|Cure        (Cure: none or truncate)
//   .ndb  body signatures: Name:TargetType:Offset:HexSignature[:MinFL[:MaxFL]]
//   .hdb  MD5:Size:Name      .hsb  SHA-1 or SHA-256:Size:Name
// Offsets: *, n, EOF-n. Hex signatures: byte pairs, ??, *, {n}, {n-m}, {-n}, {n-}.
// Lines outside this subset are skipped and counted.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace RefEngine {

const uint64_t Unbounded = UINT64_MAX;

struct Segment {
    std::vector<uint8_t> bytes;
    std::vector<bool> wildcard;
    size_t Length() const { return bytes.size(); }
};

struct Gap {
    uint64_t min, max;
};

enum class OffsetKind { Anywhere, FromStart, FromEnd };
enum class CureKind { None, Truncate };

struct BodySignature {
    std::string name;
    OffsetKind offsetKind = OffsetKind::Anywhere;
    uint64_t offset = 0;
    std::vector<Segment> segments;
    std::vector<Gap> gaps;  // gaps[i] lies between segments[i] and segments[i + 1]
    CureKind cure = CureKind::None;
    // The longest run of fixed bytes, which the multi-pattern search looks for.
    size_t anchorSegment = 0, anchorOffset = 0, anchorLength = 0;
};

struct HashSignature {
    enum Kind { Md5, Sha1, Sha256 } kind;
    std::vector<uint8_t> digest;
    uint64_t size;
    std::string name;
};

struct Database {
    std::vector<BodySignature> bodies;
    std::vector<HashSignature> hashes;
    std::set<uint64_t> hashedSizes;  // only files of these sizes are hashed
    uint32_t skipped = 0;            // lines of a base that were not understood

    uint32_t Records() const { return static_cast<uint32_t>(bodies.size() + hashes.size()); }
    // Reads every base file in the folder (*.tvb, *.ndb, *.hdb, *.hsb).
    void LoadFolder(const std::wstring& folder);
    // One line of a base of the given extension (".tvb", ".ndb", ".hdb", ".hsb"); false when skipped.
    bool AddLine(const std::string& extension, const std::string& line);
};

// The hex signature part, into segments and gaps with the anchor chosen; false when unsupported.
bool ParseHexSignature(const std::string& hex, BodySignature& out);
// "*", "n" or "EOF-n"; false when unsupported.
bool ParseOffset(const std::string& text, BodySignature& out);

}  // namespace RefEngine
