// CRC-32 of a file's content.
#include "scan/FileOperations.h"

#include "base/WinHandle.h"

#include <array>

namespace {

std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> table;
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit) value = (value & 1) ? 0xEDB88320u ^ (value >> 1) : value >> 1;
        table[i] = value;
    }
    return table;
}

const std::array<uint32_t, 256> CrcTable = MakeTable();

}  // namespace

uint32_t FileCrc32(const wchar_t* path) {
    if (!path) return 0xFFFFFFFF;
    Win::FileHandle file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return 0xFFFFFFFF;
    uint32_t crc = 0xFFFFFFFF;
    unsigned char block[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.Get(), block, sizeof(block), &got, nullptr)) return 0xFFFFFFFF;
        if (got == 0) break;
        for (DWORD i = 0; i < got; ++i) crc = CrcTable[(crc ^ block[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}
