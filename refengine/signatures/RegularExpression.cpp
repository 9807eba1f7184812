// PCRE2 behind the engine's own limits.
#include "refengine/signatures/RegularExpression.h"

#include <pcre2.h>

namespace RefEngine {
namespace {

// Nesting of backtracking, and the heap (KiB) of one search: far above what a signature's pattern
// needs on a real file. Its steps are bounded by the caller.
const uint32_t DepthLimit = 10000, HeapLimitKib = 32768;

struct MatchContext {
    pcre2_match_context* context = pcre2_match_context_create(nullptr);
    explicit MatchContext(uint32_t steps) {
        pcre2_set_match_limit(context, steps);
        pcre2_set_depth_limit(context, DepthLimit);
        pcre2_set_heap_limit(context, HeapLimitKib);
    }
    ~MatchContext() { pcre2_match_context_free(context); }
};

}  // namespace

std::shared_ptr<const RegularExpression> RegularExpression::Compile(const std::string& pattern, const std::string& flags,
                                                                     std::string& why) {
    uint32_t options = PCRE2_NEVER_UTF | PCRE2_NEVER_UCP;
    for (char flag : flags) {
        switch (flag) {
            case 'i': options |= PCRE2_CASELESS; break;
            case 's': options |= PCRE2_DOTALL; break;
            case 'm': options |= PCRE2_MULTILINE; break;
            case 'x': options |= PCRE2_EXTENDED; break;
            case 'A': options |= PCRE2_ANCHORED; break;
            case 'E': options |= PCRE2_DOLLAR_ENDONLY; break;
            case 'U': options |= PCRE2_UNGREEDY; break;
            default:
                why = std::string("regular expression flag ") + flag;
                return nullptr;
        }
    }
    int error = 0;
    PCRE2_SIZE at = 0;
    pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options, &error, &at, nullptr);
    if (!code) {
        why = "regular expression PCRE2 does not compile";
        return nullptr;
    }
    return std::shared_ptr<const RegularExpression>(new RegularExpression(code));
}

RegularExpression::~RegularExpression() { pcre2_code_free(code_); }

RegularExpression::Outcome RegularExpression::Find(const uint8_t* subject, size_t size, size_t start, uint32_t steps,
                                                   size_t& matchStart, size_t& matchEnd) const {
    const MatchContext limits(steps);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(code_, nullptr);
    if (!data || !limits.context) {
        pcre2_match_data_free(data);
        return Outcome::Limit;
    }
    // Compiled to machine code on the first search, not at load: most patterns never run, and a
    // pattern that scans a large page from each of its starts is many times faster so. Should the
    // compiled code run out of its stack, the interpreter, with its own limits, does the search.
    std::call_once(machineCode_, [this] { pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE); });
    int result = pcre2_match(code_, subject, size, start, 0, data, limits.context);
    if (result == PCRE2_ERROR_JIT_STACKLIMIT) result = pcre2_match(code_, subject, size, start, PCRE2_NO_JIT, data, limits.context);
    Outcome outcome = Outcome::NoMatch;
    if (result >= 0) {
        const PCRE2_SIZE* vector = pcre2_get_ovector_pointer(data);
        matchStart = vector[0];
        matchEnd = vector[1];
        outcome = Outcome::Match;
    } else if (result != PCRE2_ERROR_NOMATCH) {
        outcome = Outcome::Limit;  // a limit, or memory: the object was not fully matched
    }
    pcre2_match_data_free(data);
    return outcome;
}

}  // namespace RefEngine
