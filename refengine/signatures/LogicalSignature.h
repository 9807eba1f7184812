// Logical signatures (.ldb): Name;TargetDescription;LogicalExpression;Subsig0;Subsig1;...
// The target description restricts the objects (Engine, Target, FileSize, EntryPoint,
// NumberOfSections, Container); each subsignature is a body signature ([Offset:]Hex[::Modifiers], modifiers i, w,
// a, f) whose matches are counted; the expression over the counts (&, |, parentheses, =n, >n, <n, and
// ",m" for at least m distinct subsignatures) decides. A subsignature may be a regular expression
// behind a trigger. Subsignatures in byte-compare form, and target descriptions with other
// restrictions, make the signature skipped.
#pragma once

#include "refengine/object/Formats.h"
#include "refengine/signatures/Signature.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace RefEngine {

struct ObjectInfo;
class RegularExpression;

// A subsignature that is a regular expression ([Offset:]Trigger/Pattern/Flags): matched only when its
// trigger, an expression over the other subsignatures' counts, holds, over the object from its offset
// on; its count is its number of matches (the first alone unless the flag g asks for all).
struct PatternSubsignature {
    uint32_t index = 0;
    std::vector<uint32_t> trigger;  // postfix code, as the expression's
    Offset offset;                  // Anywhere, FromStart or FromEnd, with a shift
    bool global = false;
    bool encompass = false;         // e: the match must lie within the offset's range
    std::shared_ptr<const RegularExpression> expression;
};
// Whether postfix code holds for the counts.
bool EvaluateExpression(const std::vector<uint32_t>& code, const uint32_t* counts);

struct LogicalSignature {
    uint32_t name = 0;                  // in the database's name pool
    uint32_t subsignatures = 0;         // how many
    uint32_t firstBody = 0, bodies = 0; // its subsignatures' body signatures in the store, one after another
    int target = -1;                    // -1 or 0: any object, else a TargetType
    bool anyContainer = true;            // or only objects from the container below
    FormatId container = FormatId::None;  // the format the object must come from (None: no container at all)
    uint64_t sizeMin = 0, sizeMax = UINT64_MAX;
    uint64_t entryMin = 0, entryMax = UINT64_MAX;
    bool entryLimited = false;
    uint64_t sectionsMin = 0, sectionsMax = UINT64_MAX;
    bool sectionsLimited = false;
    std::vector<uint32_t> expression;   // postfix code, see LogicalSignature.cpp
    bool monotone = true;               // once true, more matches keep it true: decided at the first
    uint32_t firstPattern = 0, patterns = 0;  // its regular expressions, in the database's list

    // Does the object pass the target description?
    bool Fits(const ObjectInfo& info) const;
    // The expression over the match counts of the subsignatures.
    bool Evaluate(const uint32_t* counts) const;
    // The subsignatures (a bit each) without a match of which the expression cannot be true, as far as
    // its form shows (fewer than there may be, never more).
    uint64_t Required() const;
};

// What reading a logical signature's line gave: the signature and its subsignatures as body signatures
// (a subsignature with both ::a and ::w gives two, with the same index).
struct ParsedLogical {
    LogicalSignature signature;
    std::string name;
    std::vector<std::pair<uint32_t, BodySignature>> bodies;  // subsignature index, body
    std::vector<PatternSubsignature> patterns;
    std::string skipReason;  // set when the line is understood but uses what is not supported
};

// False when the line is malformed or not supported (skipReason tells which of the two).
bool ParseLogicalSignature(const std::string& line, uint32_t level, ParsedLogical& out);

}  // namespace RefEngine
