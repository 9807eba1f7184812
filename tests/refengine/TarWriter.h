// TAR archives made in memory for the engine's tests.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace TestSupport {

// A TAR of the given members (ustar headers, each member in 512-byte blocks), named
// prefix0, prefix1, ... (default: folder/member0.txt, ...).
inline std::string Tar(const std::vector<std::string>& members, const std::string& prefix = "folder/member", const std::string& suffix = ".txt") {
    std::string tar;
    for (size_t i = 0; i < members.size(); ++i) {
        std::string header(512, '\0');
        const std::string name = prefix + std::to_string(i) + suffix;
        header.replace(0, name.size(), name);
        char field[16];
        std::snprintf(field, sizeof field, "%07o", 0644u);
        header.replace(100, 8, field, 8);
        header.replace(108, 8, "0000000\0", 8);
        header.replace(116, 8, "0000000\0", 8);
        std::snprintf(field, sizeof field, "%011o", static_cast<unsigned>(members[i].size()));
        header.replace(124, 12, field, 12);
        header.replace(136, 12, "00000000000\0", 12);
        header[156] = '0';
        header.replace(257, 8, "ustar\0" "00", 8);
        header.replace(148, 8, "        ");
        unsigned sum = 0;
        for (unsigned char c : header) sum += c;
        std::snprintf(field, sizeof field, "%06o", sum);
        header.replace(148, 7, field, 7);
        tar += header + members[i] + std::string((512 - members[i].size() % 512) % 512, '\0');
    }
    return tar + std::string(1024, '\0');
}

}  // namespace TestSupport
