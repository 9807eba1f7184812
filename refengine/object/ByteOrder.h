// Integers as formats store them: a number of bytes, least or most significant first.
#pragma once

#include <cstdint>

namespace RefEngine {

inline uint64_t Integer(const uint8_t* p, int bytes, bool bigEndian = false) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(p[bigEndian ? bytes - 1 - i : i]) << (8 * i);
    return value;
}
inline uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(Integer(p, 2)); }
inline uint32_t Le32(const uint8_t* p) { return static_cast<uint32_t>(Integer(p, 4)); }
inline void WriteLe32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace RefEngine
