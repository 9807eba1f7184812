// Body signatures as the matcher sees them: a list of elements (runs of byte tests, choices of byte
// strings, gaps, boundaries), where the match may begin, and the anchor that the filter looks for.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

namespace RefEngine {

const uint64_t Unbounded = UINT64_MAX;

// One position of a pattern: a byte b matches when (b & mask) == value, or, when set, the class
// (a set of bytes, kept once in the signature's class table) holds b.
struct ByteTest {
    uint8_t value = 0;
    uint8_t mask = 0xFF;
    int16_t byteClass = -1;
    bool Exact() const { return mask == 0xFF && byteClass < 0; }
};

typedef std::vector<ByteTest> ByteRun;

struct Element {
    enum Kind { Run, Choice, Gap, Boundary };
    Kind kind = Run;
    ByteRun run;                  // Run
    std::vector<ByteRun> options; // Choice: byte strings, any lengths
    uint64_t min = 0, max = 0;    // Gap: min to max bytes (max may be Unbounded)
    char boundary = 0;            // Boundary: 'B' word boundary, 'L' line boundary
};

// Where the first byte of a match may lie, once the object is known.
struct Offset {
    enum Kind { Anywhere, FromStart, FromEnd, EntryPoint, SectionStart, SectionEnd, LastSection };
    Kind kind = Anywhere;
    int64_t value = 0;    // n, EOF-n (n), EP+n / EP-n (+n / -n), Sx+n, SL+n
    uint32_t section = 0; // Sx, SEx
    uint64_t shift = 0;   // "Offset,MaxShift": the start may lie up to shift bytes after the offset
};

enum class CureKind { None, Truncate };

struct BodySignature {
    std::string name;
    Offset offset;
    uint8_t target = 0;  // 0: any object, 1: PE files only
    std::vector<Element> elements;
    std::vector<std::bitset<256>> classes;
    CureKind cure = CureKind::None;
    // The longest run of exact bytes: element, position in it, length (at most MaxAnchor).
    size_t anchorElement = 0, anchorPosition = 0, anchorLength = 0;
};

const size_t MaxAnchor = 32;

// A signature's hex text ("aabb??cc*dd{2-4}(ee|ff)..."), into elements with the anchor chosen; false
// when it is malformed or has no exact byte to anchor on.
bool ParseHexSignature(const std::string& hex, BodySignature& out);
// "*", "n", "EOF-n", "EP+n", "EP-n", "Sx+n", "SEx", "SL+n", each optionally ",MaxShift"; false when not.
bool ParseOffset(const std::string& text, Offset& out);

}  // namespace RefEngine
