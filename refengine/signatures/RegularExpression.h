// The regular expressions of logical signatures, through PCRE2 (bytes, never UTF): compiled once when
// the bases load, and to machine code when first searched with; every search bounded in its work (the
// steps its caller allows, and PCRE2's depth and heap limits), so that neither a pattern nor an object
// can make a scan stall.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

struct pcre2_real_code_8;

namespace RefEngine {

class RegularExpression {
public:
    // flags: PCRE's own letters as signatures give them (i s m x A E U); null, with why, when the
    // pattern does not compile or a flag is unknown.
    static std::shared_ptr<const RegularExpression> Compile(const std::string& pattern, const std::string& flags, std::string& why);
    ~RegularExpression();
    RegularExpression(const RegularExpression&) = delete;
    RegularExpression& operator=(const RegularExpression&) = delete;

    enum class Outcome { Match, NoMatch, Limit };
    // The first match in subject[0, size) that starts at or after start, found within the given number
    // of the matcher's steps: where it starts and ends.
    Outcome Find(const uint8_t* subject, size_t size, size_t start, uint32_t steps, size_t& matchStart, size_t& matchEnd) const;

private:
    explicit RegularExpression(pcre2_real_code_8* code) : code_(code) {}
    pcre2_real_code_8* code_;
    mutable std::once_flag machineCode_;
};

}  // namespace RefEngine
