// Reading text: fields of a base's line, decimal numbers, hex and base64 digits.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace RefEngine {

// The text between separators, empty fields kept: "a::b" gives "a", "", "b".
inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    size_t count = 1;  // one allocation for the list: loading a base splits millions of fields
    for (char c : text) count += c == separator;
    fields.reserve(count);
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        fields.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return fields;
        start = at + 1;
    }
}

// Digits only, at most maxDigits of them (so that the number fits).
inline bool ParseDecimal(std::string_view text, uint64_t& out, size_t maxDigits = 18) {
    if (text.empty() || text.size() > maxDigits) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// The value of a hex digit, or -1. Millions of digests are read at load: a table, not comparisons.
inline int HexDigit(char c) {
    struct Table {
        int8_t value[256];
        Table() {
            for (int d = 0; d < 256; ++d)
                value[d] = d >= '0' && d <= '9' ? d - '0' : d >= 'a' && d <= 'f' ? d - 'a' + 10 : d >= 'A' && d <= 'F' ? d - 'A' + 10 : -1;
        }
    };
    static const Table table;
    return table.value[static_cast<unsigned char>(c)];
}

// The value of a base64 digit, or -1; with urlSafe, '-' and '_' stand for '+' and '/' as in addresses.
inline int Base64Value(uint8_t c, bool urlSafe = false) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+' || (urlSafe && c == '-')) return 62;
    if (c == '/' || (urlSafe && c == '_')) return 63;
    return -1;
}

// The byte of the two hex digits at at, or -1.
inline int HexByte(std::string_view text, size_t at) {
    if (at + 1 >= text.size()) return -1;
    const int high = HexDigit(text[at]), low = HexDigit(text[at + 1]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

inline std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

}  // namespace RefEngine
