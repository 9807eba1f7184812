// The bit-level helpers that building the matcher's filter and searching with it share: both must
// compute the same bits from the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace RefEngine {

inline uint32_t Load32(const uint8_t* p) {
    uint32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

inline uint32_t Load16(const uint8_t* p) { return p[0] | (static_cast<uint32_t>(p[1]) << 8); }

// The bits of an anchor's next bytes, beside its gram's bit: one of 16 for its fifth and sixth bytes,
// one of the other 16 for its fifth to eighth.
inline uint32_t NearBits(uint32_t gram, uint32_t next) {
    const uint32_t mixed = gram * 0x85EBCA6Bu;
    return (1u << (((mixed ^ (next & 0xFFFF)) * 0x2545F491u) >> 28)) | (1u << (16 + (((mixed ^ next) * 0xC2B2AE35u) >> 28)));
}

// The first eight bytes of an anchor (as far as it goes, zeros after), the first in the highest bits:
// numbers that sort as the bytes do.
inline uint64_t HeadOf(const uint8_t* bytes, size_t n) {
    uint64_t head = 0;
    for (size_t i = 0; i < 8; ++i) head = (head << 8) | (i < n ? bytes[i] : 0);
    return head;
}
inline uint64_t HeadMask(uint32_t length) { return length >= 8 ? ~0ull : ~0ull << (8 * (8 - length)); }

}  // namespace RefEngine
