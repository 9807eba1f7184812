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
    bool negated = false;         // Choice: n bytes that are none of the options (all n long)
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

// ASCII letters in lower case: how the anchor filter sees both the object and the anchors, so that a
// signature that ignores case is anchored like any other.
inline uint8_t FoldCase(uint8_t b) { return b >= 'A' && b <= 'Z' ? static_cast<uint8_t>(b | 0x20) : b; }

// How often a byte turns up in ordinary files, roughly (a letter of either case twice as often): what
// anchors and searches prefer to look for are the bytes least expected.
inline double Commonness(uint8_t byte, bool eitherCase = false) {
    double f = 1.0 / 256;
    if (byte == 0x00) f = 1.0 / 6;
    else if (byte == 0xFF) f = 1.0 / 24;
    else if (byte == 0x20 || byte == 0xCC || byte == 0x90 || byte == 0x0A || byte == 0x0D || byte == 0x01 || byte == 0x8B ||
             byte == 'e' || byte == 't' || byte == 'a' || byte == 'o')
        f = 1.0 / 48;
    return eitherCase ? 2 * f : f;
}

// How unexpected a byte is in ordinary files, in bits (-log2 of its commonness), from a table.
double SurpriseBits(uint8_t byte);
// How unexpected the bytes are in ordinary files, in bits (a byte after the same byte counts little).
double Surprise(const uint8_t* bytes, size_t n);

// The letter (in lower case) of a class that holds one letter in both cases and nothing else; -1 if not.
int CaseLetter(const std::bitset<256>& bytes);

// The byte a test stands for once case is folded away: an exact byte, or a class of one letter in both
// cases (a letter of a signature that ignores case); -1 for any other test.
int FoldedByte(const ByteTest& test, const std::vector<std::bitset<256>>& classes);

struct BodySignature {
    std::string name;
    Offset offset;
    uint8_t target = 0;  // 0: any object, 1: PE files only
    std::vector<Element> elements;
    std::vector<std::bitset<256>> classes;
    CureKind cure = CureKind::None;
    // The anchor, what the filter looks for: the stretch of at most MaxAnchor bytes that are exact once
    // case is folded (FoldedByte) least expected in ordinary files: element, position in it, length.
    size_t anchorElement = 0, anchorPosition = 0, anchorLength = 0;
};

const size_t MaxAnchor = 32;

// A signature's hex text ("aabb??cc*dd{2-4}(ee|ff)..."), into elements with the anchor chosen; false
// when it is malformed or has no byte to anchor on. With nocase, each letter (alone or among
// alternatives of one byte) matches in either case; longer alternatives are kept as they are.
bool ParseHexSignature(const std::string& hex, BodySignature& out, bool nocase = false);
// "*", "n", "EOF-n", "EP+n", "EP-n", "Sx+n", "SEx", "SL+n", each optionally ",MaxShift"; false when not.
bool ParseOffset(const std::string& text, Offset& out);

}  // namespace RefEngine
