// Bytes as the hex digits signatures are written in.
#pragma once

#include <string>

namespace TestSupport {

inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) hex += {digits[c >> 4], digits[c & 15]};
    return hex;
}

}  // namespace TestSupport
