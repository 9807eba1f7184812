// Reading logical signatures, and their expressions as postfix code:
//   index (op 0)        the count of a subsignature
//   op 1, k / op 2, k   & / | of the last k values
//   op 3, c; n; m       the last value compared ('=', '>' or '<') with n, and at least m distinct subsignatures
#include "refengine/signatures/LogicalSignature.h"

#include "refengine/object/Fields.h"
#include "refengine/object/Formats.h"
#include "refengine/object/ObjectInfo.h"
#include "refengine/object/ObjectType.h"
#include "refengine/signatures/RegularExpression.h"


namespace RefEngine {
namespace {

const uint32_t OpLeaf = 0, OpAnd = 1, OpOr = 2, OpCompare = 3;
const size_t MaxSubsignatures = 64;

uint32_t Code(uint32_t op, uint32_t argument) { return (op << 24) | argument; }

// "x-y", as target descriptions give every range.
bool Range(const std::string& text, uint64_t& low, uint64_t& high) {
    const size_t dash = text.find('-');
    return dash != std::string::npos && ParseDecimal(text.substr(0, dash), low, 15) && ParseDecimal(text.substr(dash + 1), high, 15) &&
           high >= low;
}

class ExpressionParser {
public:
    ExpressionParser(const std::string& text, uint32_t subsignatures, std::vector<uint32_t>& code, bool& monotone)
        : text_(text), subsignatures_(subsignatures), code_(code), monotone_(monotone) {}
    bool Parse() { return Joined('|', 0) && at_ == text_.size(); }

private:
    // Terms joined by op: '|' joins '&'-terms, '&' joins primaries, so that & binds more tightly.
    bool Joined(char op, int depth) {
        if (depth > 64) return false;  // nesting this deep is no real signature
        uint32_t terms = 0;
        do {
            if (!(op == '|' ? Joined('&', depth) : Primary(depth))) return false;
            ++terms;
        } while (Take(op));
        if (terms > 1) code_.push_back(Code(op == '|' ? OpOr : OpAnd, terms));
        return true;
    }
    bool Primary(int depth) {
        if (Take('(')) {
            if (!Joined('|', depth + 1) || !Take(')')) return false;
        } else {
            uint64_t index = 0;
            if (!Digits(index) || index >= subsignatures_) return false;
            code_.push_back(Code(OpLeaf, static_cast<uint32_t>(index)));
        }
        if (Peek('=') || Peek('>') || Peek('<')) {
            const char op = text_[at_++];
            uint64_t n = 0, m = 0;
            if (!Digits(n) || n > UINT32_MAX) return false;
            if (Take(',') && (!Digits(m) || m > UINT32_MAX)) return false;
            code_.push_back(Code(OpCompare, static_cast<uint32_t>(op)));
            code_.push_back(static_cast<uint32_t>(n));
            code_.push_back(static_cast<uint32_t>(m));
            if (op != '>') monotone_ = false;
        }
        return true;
    }
    bool Digits(uint64_t& out) {
        const size_t start = at_;
        while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') ++at_;
        return ParseDecimal(text_.substr(start, at_ - start), out, 15);
    }
    bool Peek(char c) const { return at_ < text_.size() && text_[at_] == c; }
    bool Take(char c) {
        if (!Peek(c)) return false;
        ++at_;
        return true;
    }

    const std::string& text_;
    size_t at_ = 0;
    uint32_t subsignatures_;
    std::vector<uint32_t>& code_;
    bool& monotone_;
};

// The tokens of a subsignature's hex text, in order: "*", a range "{..}" or "[..]", a group "(..)" or
// "!(..)", or a byte's two characters. A token cut short by the end of the text runs to the end and is
// not complete.
struct HexToken {
    char kind;  // '*', '{', '[', '(', '!', or 'b' for a byte
    std::string text;
    bool complete;
};

template <typename Visit>
void ForEachToken(const std::string& hex, Visit visit) {
    for (size_t i = 0; i < hex.size();) {
        const char c = hex[i];
        size_t end = i + 2;
        char kind = 'b';
        if (c == '*') {
            end = i + 1;
            kind = c;
        } else if (c == '{' || c == '[' || c == '(' || c == '!') {
            const size_t close = hex.find(c == '{' ? '}' : c == '[' ? ']' : ')', i);
            end = close == std::string::npos ? std::string::npos : close + 1;
            kind = c;
        }
        const bool complete = end <= hex.size();
        if (!complete) end = hex.size();
        visit(HexToken{kind, hex.substr(i, end - i), complete});
        i = end;
    }
}

// "(aa|bb|cc)": alternatives of one byte each.
bool AllSingleBytes(const std::string& group) {
    if (group.size() < 4 || group[0] != '(' || group.back() != ')') return false;
    for (const std::string& option : Split(group.substr(1, group.size() - 2), '|'))
        if (option.size() != 2) return false;
    return true;
}

// ::w: each byte followed by a zero byte, as in UTF-16 text; gaps twice as long. Empty when the
// signature has a form this cannot widen.
std::string Wide(const std::string& hex) {
    std::string out;
    bool widenable = true;
    ForEachToken(hex, [&](const HexToken& token) {
        if (!widenable) return;
        if (!token.complete) {
            widenable = false;
        } else if (token.kind == '*') {
            out += token.text;
        } else if (token.kind == '{' || token.kind == '[') {
            const std::string inside = token.text.substr(1, token.text.size() - 2);
            std::string widened;
            for (const std::string& part : Split(inside, '-')) {
                uint64_t n = 0;
                if (!widened.empty() || inside[0] == '-') widened += '-';
                if (part.empty()) continue;
                if (!ParseDecimal(part, n, 15)) {
                    widenable = false;
                    return;
                }
                widened += std::to_string(2 * n);
            }
            out += std::string(1, token.kind) + widened + (token.kind == '{' ? "}" : "]");
        } else if (token.text == "(B)" || token.text == "(L)") {
            out += token.text;
        } else if (token.kind == '!') {
            if (!AllSingleBytes(token.text.substr(1))) {
                widenable = false;  // which wide strings a negated string excludes is not defined
                return;
            }
            out += token.text + "00";  // one byte but these, then its zero
        } else if (token.kind == '(' && AllSingleBytes(token.text)) {
            out += token.text + "00";  // one of these bytes, then its zero: a class stays a class
        } else if (token.kind == '(') {
            std::string options;
            for (const std::string& option : Split(token.text.substr(1, token.text.size() - 2), '|')) {
                if (option.size() % 2) {
                    widenable = false;
                    return;
                }
                options += options.empty() ? "" : "|";
                for (size_t k = 0; k < option.size(); k += 2) options += option.substr(k, 2) + "00";
            }
            out += "(" + options + ")";
        } else {
            out += token.text + "00";
        }
    });
    return widenable ? out : std::string();
}

// "[Offset:]Trigger/Pattern/Flags": the trigger is an expression of indexes, so that a pattern is told
// from a body signature by what stands before its first slash.
bool IsPattern(const std::string& text) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos || slash == 0) return false;
    const size_t colon = text.rfind(':', slash);
    const std::string trigger = text.substr(colon == std::string::npos ? 0 : colon + 1, slash - (colon == std::string::npos ? 0 : colon + 1));
    return !trigger.empty() && trigger.find_first_not_of("0123456789&|()=<>,") == std::string::npos;
}

bool ParsePattern(const std::string& text, uint32_t index, uint32_t subsignatures, PatternSubsignature& out, std::string& skipReason) {
    const size_t slash = text.find('/'), last = text.rfind('/');
    if (last == slash) return false;
    const size_t colon = text.rfind(':', slash);
    out.index = index;
    if (colon != std::string::npos) {
        if (!ParseOffset(text.substr(0, colon), out.offset)) return false;
        if (out.offset.kind != Offset::Anywhere && out.offset.kind != Offset::FromStart && out.offset.kind != Offset::FromEnd) {
            skipReason = "regular expression at an offset in a program's structure";
            return false;
        }
    }
    bool monotone = true;
    const std::string trigger = text.substr(colon == std::string::npos ? 0 : colon + 1, slash - (colon == std::string::npos ? 0 : colon + 1));
    if (!ExpressionParser(trigger, subsignatures, out.trigger, monotone).Parse()) return false;
    std::string flags;
    for (char flag : text.substr(last + 1)) {
        if (flag == 'g') out.global = true;
        else if (flag == 'e') out.encompass = true;
        else if (flag != 'r') flags += flag;  // r: how matches are kept, nothing to match by
    }
    out.expression = RegularExpression::Compile(text.substr(slash + 1, last - slash - 1), flags, skipReason);
    return out.expression != nullptr;
}

}  // namespace

bool LogicalSignature::Fits(const ObjectInfo& info) const {
    if (!TargetFits(std::max(target, 0), info.types)) return false;
    if (!anyContainer && container != info.container) return false;
    if (info.size < sizeMin || info.size > sizeMax) return false;
    if (entryLimited && (!info.structured || info.entryPoint < entryMin || info.entryPoint > entryMax)) return false;
    if (sectionsLimited && (!info.structured || info.sections.size() < sectionsMin || info.sections.size() > sectionsMax))
        return false;
    return true;
}

bool LogicalSignature::Evaluate(const uint32_t* counts) const { return EvaluateExpression(expression, counts); }

bool EvaluateExpression(const std::vector<uint32_t>& expression, const uint32_t* counts) {
    struct Value {
        bool truth;
        uint64_t count;
        uint32_t distinct;
    };
    Value stack[64];
    size_t top = 0;
    for (size_t i = 0; i < expression.size(); ++i) {
        const uint32_t code = expression[i], op = code >> 24, argument = code & 0xFFFFFF;
        if (op == OpLeaf) {
            if (top == 64) return false;
            const uint32_t c = counts[argument];
            stack[top++] = Value{c > 0, c, c > 0 ? 1u : 0u};
        } else if (op == OpAnd || op == OpOr) {
            if (argument > top) return false;
            Value joined{op == OpAnd, 0, 0};
            for (size_t k = top - argument; k < top; ++k) {
                joined.truth = op == OpAnd ? joined.truth && stack[k].truth : joined.truth || stack[k].truth;
                joined.count += stack[k].count;
                joined.distinct += stack[k].distinct;
            }
            top -= argument;
            stack[top++] = joined;
        } else {
            if (top == 0 || i + 2 >= expression.size()) return false;
            const uint64_t n = expression[++i], m = expression[++i];
            Value& v = stack[top - 1];
            const bool compared = argument == '=' ? v.count == n : argument == '>' ? v.count > n : v.count < n;
            v.truth = compared && v.distinct >= m;
        }
    }
    return top == 1 && stack[0].truth;
}

uint64_t LogicalSignature::Required() const {
    struct Value {
        uint64_t required;
        int leaf;  // the subsignature when the value is one alone, else -1
    };
    Value stack[64];
    size_t top = 0;
    for (size_t i = 0; i < expression.size(); ++i) {
        const uint32_t code = expression[i], op = code >> 24, argument = code & 0xFFFFFF;
        if (op == OpLeaf) {
            if (top == 64) return 0;
            stack[top++] = {1ull << argument, static_cast<int>(argument)};
        } else if (op == OpAnd || op == OpOr) {
            if (argument > top) return 0;
            Value joined{op == OpAnd ? 0 : ~0ull, -1};
            for (size_t k = top - argument; k < top; ++k)
                joined.required = op == OpAnd ? joined.required | stack[k].required : joined.required & stack[k].required;
            top -= argument;
            stack[top++] = joined;
        } else {
            if (top == 0 || i + 2 >= expression.size()) return 0;
            const uint64_t n = expression[++i], m = expression[++i];
            Value& v = stack[top - 1];
            // A count above n, equal to n > 0, or m distinct matches needs a match of a lone subsignature;
            // of a group, no one member in particular.
            const bool needsOne = v.leaf >= 0 && (argument == '>' || (argument == '=' && n > 0) || m > 0);
            v.required = needsOne ? 1ull << v.leaf : 0;
            v.leaf = -1;
        }
    }
    return top == 1 ? stack[0].required : 0;
}

bool ParseLogicalSignature(const std::string& line, uint32_t level, ParsedLogical& out) {
    out = ParsedLogical();
    std::vector<std::string> fields = Split(line, ';');
    if (fields.size() < 4 || fields[0].empty()) return false;
    out.name = fields[0];
    LogicalSignature& sig = out.signature;
    const size_t subsignatures = fields.size() - 3;
    if (subsignatures > MaxSubsignatures) return false;
    sig.subsignatures = static_cast<uint32_t>(subsignatures);

    bool engineNamed = false, newAttributes = false;
    for (const std::string& attribute : Split(fields[1], ',')) {
        const size_t colon = attribute.find(':');
        if (colon == std::string::npos) return false;
        const std::string key = attribute.substr(0, colon), value = attribute.substr(colon + 1);
        uint64_t low = 0, high = 0;
        if (key == "Engine") {
            if (!Range(value, low, high)) return false;
            engineNamed = low >= 51;
            if (level < low || level > high) {
                out.skipReason = "functionality level";
                return false;
            }
        } else if (key == "Target") {
            if (!ParseDecimal(value, low, 15)) return false;
            if (low > MaxTargetType || low == 8) {
                out.skipReason = "target type " + value;
                return false;
            }
            sig.target = static_cast<int>(low);
        } else if (key == "Container") {
            sig.anyContainer = false;
            if (!FormatOfContainerType(value, sig.container)) {
                out.skipReason = "container type " + value + " (never opened)";
                return false;
            }
        } else if (key == "FileSize") {
            newAttributes = true;
            if (!Range(value, sig.sizeMin, sig.sizeMax)) return false;
        } else if (key == "EntryPoint") {
            newAttributes = true;
            if (!Range(value, sig.entryMin, sig.entryMax)) return false;
            sig.entryLimited = true;
        } else if (key == "NumberOfSections") {
            newAttributes = true;
            if (!Range(value, sig.sectionsMin, sig.sectionsMax)) return false;
            sig.sectionsLimited = true;
        } else {
            out.skipReason = "target description " + key;
            return false;
        }
    }
    // Restrictions beyond the target count only with an Engine range that starts where they exist.
    if (newAttributes && !engineNamed) return false;
    // Parsed into a list kept from line to line, then copied once: a base has tens of thousands.
    static thread_local std::vector<uint32_t> expression;
    expression.clear();
    if (!ExpressionParser(fields[2], sig.subsignatures, expression, sig.monotone).Parse()) return false;
    sig.expression.assign(expression.begin(), expression.end());
    out.bodies.reserve(2 * subsignatures);

    for (size_t index = 0; index < subsignatures; ++index) {
        std::string& text = fields[3 + index];
        if (IsPattern(text)) {
            PatternSubsignature pattern;
            if (!ParsePattern(text, static_cast<uint32_t>(index), sig.subsignatures, pattern, out.skipReason)) return false;
            out.patterns.push_back(std::move(pattern));
            sig.monotone = false;  // decided once the object's bytes are all seen, when patterns can run
            continue;
        }
        std::string modifiers;
        const size_t modifiersAt = text.find("::");
        if (modifiersAt != std::string::npos) {
            modifiers = text.substr(modifiersAt + 2);
            text.resize(modifiersAt);
        }
        if (text.compare(0, 3, "VI:") == 0) {
            out.skipReason = "version-information subsignature (VI:)";
            return false;
        }
        if (text.compare(0, 9, "fuzzy_img") == 0) {
            out.skipReason = "image subsignature";
            return false;
        }
        if (text.find('#') != std::string::npos) {
            out.skipReason = "byte-compare subsignature";
            return false;
        }
        if (text.find('$') != std::string::npos) {
            out.skipReason = "macro subsignature";
            return false;
        }
        Offset offset;
        const size_t colon = text.rfind(':');
        if (colon != std::string::npos) {
            if (!ParseOffset(text.substr(0, colon), offset)) {
                out.skipReason = "subsignature offset of an unsupported form";
                return false;
            }
            text = text.substr(colon + 1);
        }
        // Each modifier counts once, however often it is repeated.
        bool nocase = false, ascii = false, wide = false, fullword = false;
        for (char m : modifiers) {
            if (m == 'i') nocase = true;
            else if (m == 'a') ascii = true;
            else if (m == 'w') wide = true;
            else if (m == 'f') fullword = true;
            else {
                out.skipReason = "subsignature modifier of an unsupported form";
                return false;
            }
        }
        if (fullword) text = "(B)" + text + "(B)";
        std::string forms[2];
        const bool plain = !wide || ascii;  // the text itself first, then its wide form
        size_t formCount = plain ? 1 : 0;
        if (wide) {
            forms[formCount] = Wide(text);
            if (forms[formCount++].empty()) {
                out.skipReason = "wide subsignature of an unsupported form";
                return false;
            }
        }
        if (plain) forms[0] = std::move(text);
        for (size_t f = 0; f < formCount; ++f) {
            BodySignature body;
            if (!ParseHexSignature(forms[f], body, nocase)) {
                out.skipReason = "subsignature without a fixed byte to anchor on";
                return false;
            }
            body.offset = offset;
            body.target = static_cast<uint8_t>(std::max(sig.target, 0));
            body.name = out.name;
            if (body.offset.kind != Offset::Anywhere && body.offset.kind != Offset::FromStart &&
                body.offset.kind != Offset::FromEnd) {
                // Offsets into a program's structure: the engine knows that of PE, ELF and Mach-O files.
                if (body.target != ElfTarget && body.target != MachOTarget) body.target = PeTarget;
            }
            out.bodies.emplace_back(static_cast<uint32_t>(index), std::move(body));
        }
    }
    return true;
}

}  // namespace RefEngine
