// Logical signatures (.ldb): Name;TargetDescription;LogicalExpression;Subsig0;Subsig1;...
// The target description restricts the objects (Engine, Target, FileSize, EntryPoint,
// NumberOfSections); each subsignature is a body signature ([Offset:]Hex[::Modifiers], modifiers i, w,
// a, f) whose matches are counted; the expression over the counts (&, |, parentheses, =n, >n, <n, and
// ",m" for at least m distinct subsignatures) decides. Subsignatures in PCRE or byte-compare form, and
// target descriptions with other restrictions, make the signature skipped.
#pragma once

#include "refengine/Signature.h"

#include <cstdint>
#include <string>
#include <vector>

namespace RefEngine {

struct ObjectInfo;

struct LogicalSignature {
    uint32_t name = 0;                  // in the database's name pool
    uint32_t subsignatures = 0;         // how many
    uint32_t firstBody = 0, bodies = 0; // its subsignatures' body signatures in the store, one after another
    int target = -1;                    // -1 or 0: any object, 1: PE files
    uint64_t sizeMin = 0, sizeMax = UINT64_MAX;
    uint64_t entryMin = 0, entryMax = UINT64_MAX;
    bool entryLimited = false;
    uint64_t sectionsMin = 0, sectionsMax = UINT64_MAX;
    bool sectionsLimited = false;
    std::vector<uint32_t> expression;   // postfix code, see LogicalSignature.cpp
    bool monotone = true;               // once true, more matches keep it true: decided at the first

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
    std::string skipReason;  // set when the line is understood but uses what is not supported
};

// False when the line is malformed or not supported (skipReason tells which of the two).
bool ParseLogicalSignature(const std::string& line, uint32_t level, ParsedLogical& out);

}  // namespace RefEngine
