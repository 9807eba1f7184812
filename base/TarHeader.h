// The fields of a tar header block (512 bytes) that readers of signature containers need.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace TarHeader {

const size_t Block = 512;

// The size field: octal digits, or a binary number when the first byte's high bit is set.
inline bool Size(const uint8_t* block, uint64_t& size) {
    const uint8_t* field = block + 124;
    size = 0;
    if (field[0] & 0x80) {
        for (int i = 1; i < 12; ++i) {
            if (size >> 55) return false;
            size = (size << 8) | field[i];
        }
        return true;
    }
    bool digits = false;
    for (int i = 0; i < 12 && field[i] && field[i] != ' '; ++i) {
        if (field[i] < '0' || field[i] > '7' || (size >> 60)) return false;
        size = size * 8 + (field[i] - '0');
        digits = true;
    }
    return digits || field[0] == 0 || field[0] == ' ';
}

inline std::string Name(const uint8_t* block) {
    const char* name = reinterpret_cast<const char*>(block);
    std::string text(name, strnlen(name, 100));
    // The ustar prefix, when there is one, comes before the name.
    if (std::memcmp(block + 257, "ustar", 5) == 0 && block[345]) {
        const char* prefix = reinterpret_cast<const char*>(block + 345);
        text = std::string(prefix, strnlen(prefix, 155)) + "/" + text;
    }
    return text;
}

inline bool IsEnd(const uint8_t* block) {
    for (size_t i = 0; i < Block; ++i)
        if (block[i]) return false;
    return true;
}

// A regular file's entry (type '0' or the old NUL).
inline bool IsFile(const uint8_t* block) { return block[156] == '0' || block[156] == 0; }

}  // namespace TarHeader
