// The one reader of PE files (.exe and .dll of Windows), read from their headers as hostile input:
// every field is checked against the object's size before it is used. For the matcher, where an
// object's entry point and sections lie in the file; for the modules that unpack programs, a 32-bit
// program as the system's loader lays it out in memory, and such an image written back as a file.
#pragma once

#include "refengine/object/ObjectInfo.h"
#include "refengine/object/Source.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace RefEngine {

struct PeSection {
    uint32_t address = 0, virtualSize = 0, rawPointer = 0, rawSize = 0, flags = 0;
};

struct PeLayout {
    uint16_t machine = 0, magic = 0;  // 0x14C and 0x10B: a 32-bit program; 0x8664 and 0x20B: a 64-bit one
    uint32_t optionalSize = 0;
    uint32_t peAt = 0, imageBase = 0, imageSize = 0, entry = 0, headersSize = 0, sectionAlign = 0, fileAlign = 0;
    uint32_t importRva = 0, importSize = 0, resourceRva = 0, resourceSize = 0;
    std::vector<PeSection> sections;
    int entrySection = -1;  // -1: in the headers
    bool dll = false;
};

uint32_t AlignUp(uint32_t value, uint32_t alignment);

// The headers of any PE file, of any machine: the DOS header's pointer to the PE signature, the file
// header, the optional header's fields and the section table (1 to 96 sections, all in the object);
// false when the object is not a PE file or its headers do not fit in it.
bool ReadPeHeaders(ByteSource& source, PeLayout& pe);

// For the matcher: fills info.pe, entryPoint and sections (raw data in the file, cut to the file's
// size); false, with info.pe false, when the object is not a PE file or its headers are damaged.
bool ReadPe(ByteSource& source, ObjectInfo& info);

// The headers of a 32-bit program from its first bytes; false when they are not those of one. With
// wideToo, also those of a 64-bit one (PE32+: its image base cut to 32 bits), for readers of its data.
bool ReadLayout(const uint8_t* d, size_t size, PeLayout& pe, bool wideToo = false);

// Where the section's raw data starts in the file, as the system's loader reads it: with the usual
// file alignment, at a 512-byte boundary whatever the table says.
inline uint32_t RawStart(const PeLayout& pe, const PeSection& s) { return pe.fileAlign >= 0x200 ? s.rawPointer & ~0x1FFu : s.rawPointer; }

// The section an address (relative to the image base) lies in, or -1.
int SectionOf(const PeLayout& pe, uint32_t rva);

// Each part of the image as the loader maps it (the headers, then each section's raw data, cut to the
// image), handed to place(rva, bytes, size); the rest of the image is zeros.
template <typename Place>
void MapImage(const std::vector<uint8_t>& file, const PeLayout& pe, Place place) {
    if (pe.imageSize == 0) return;
    const uint32_t headers = static_cast<uint32_t>(
        std::min<uint64_t>(file.size(), std::min(AlignUp(pe.headersSize > 0 ? pe.headersSize : 1, 0x200), pe.imageSize)));
    place(0u, file.data(), headers);
    for (const PeSection& s : pe.sections) {
        const uint32_t raw = RawStart(pe, s);
        if (raw >= file.size() || s.address >= pe.imageSize) continue;
        uint64_t size = std::min<uint64_t>(AlignUp(s.rawSize, pe.fileAlign > 0 ? pe.fileAlign : 1), file.size() - raw);
        if (s.virtualSize) size = std::min<uint64_t>(size, AlignUp(s.virtualSize, pe.sectionAlign));
        size = std::min<uint64_t>(size, pe.imageSize - s.address);
        place(s.address, file.data() + raw, static_cast<uint32_t>(size));
    }
}

// An image (imageSize bytes, as mapped) as a program file: each section's raw data where it lies in
// memory, the entry point at entryRva (0: left as it is). Headers the image's code wrote over are
// left as they are.
std::vector<uint8_t> ImageAsFile(const PeLayout& pe, std::vector<uint8_t> image, uint32_t entryRva);

}  // namespace RefEngine
