// Splitting a base's line into its fields.
#pragma once

#include <string>
#include <vector>

namespace RefEngine {

// The text between separators, empty fields kept: "a::b" gives "a", "", "b".
inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        fields.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return fields;
        start = at + 1;
    }
}

}  // namespace RefEngine
