// Reading a program's layout, and writing an image back as a program file.
#include "refengine/PeImage.h"

#include "refengine/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

bool ReadLayout(const uint8_t* d, size_t size, PeLayout& pe, bool wideToo) {
    if (size < 0x40 || d[0] != 'M' || d[1] != 'Z') return false;
    pe.peAt = Le32(d + 0x3C);
    if (pe.peAt > size || size - pe.peAt < 24 + 96 || std::memcmp(d + pe.peAt, "PE\0\0", 4) != 0) return false;
    const uint8_t* header = d + pe.peAt;
    const uint32_t count = Le16(header + 6), optionalSize = Le16(header + 20);
    const uint8_t* optional = header + 24;
    const bool wide = wideToo && Le16(header + 4) == 0x8664 && Le16(optional) == 0x20B;
    if (!wide && (Le16(header + 4) != 0x14C || Le16(optional) != 0x10B)) return false;
    if (count == 0 || count > 96) return false;
    const uint32_t directories = wide ? 112 : 96;  // PE32+ has 64-bit image base and stack sizes
    pe.dll = (Le16(header + 22) & 0x2000) != 0;
    pe.entry = Le32(optional + 16);
    pe.imageBase = Le32(optional + (wide ? 24 : 28));
    pe.sectionAlign = Le32(optional + 32);
    pe.fileAlign = Le32(optional + 36);
    pe.imageSize = Le32(optional + 56);
    pe.headersSize = Le32(optional + 60);
    // The data directories: imports (1), resources (2).
    if (optionalSize >= directories + 24 && pe.peAt + 24 + directories + 24 <= size) {
        pe.importRva = Le32(optional + directories + 8);
        pe.importSize = Le32(optional + directories + 12);
        pe.resourceRva = Le32(optional + directories + 16);
        pe.resourceSize = Le32(optional + directories + 20);
    }
    const uint64_t tableAt = static_cast<uint64_t>(pe.peAt) + 24 + optionalSize;
    if (tableAt + count * 40ull > size) return false;
    if (pe.sectionAlign == 0 || (pe.sectionAlign & (pe.sectionAlign - 1)) != 0) return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* s = d + tableAt + i * 40;
        PeSection section;
        section.virtualSize = Le32(s + 8);
        section.address = Le32(s + 12);
        section.rawSize = Le32(s + 16);
        section.rawPointer = Le32(s + 20);
        section.flags = Le32(s + 36);
        const uint32_t extent = std::max(section.virtualSize, section.rawSize);
        if (pe.entrySection < 0 && pe.entry >= section.address && pe.entry - section.address < extent)
            pe.entrySection = static_cast<int>(i);
        pe.sections.push_back(section);
    }
    return true;
}

// The section holding an address of the image, or -1.
int SectionOf(const PeLayout& pe, uint32_t rva) {
    for (size_t i = 0; i < pe.sections.size(); ++i) {
        const PeSection& s = pe.sections[i];
        if (rva >= s.address && rva - s.address < AlignUp(std::max(s.virtualSize, s.rawSize), pe.sectionAlign))
            return static_cast<int>(i);
    }
    return -1;
}

std::vector<uint8_t> ImageAsFile(const PeLayout& pe, std::vector<uint8_t> image, uint32_t entryRva) {
    PeLayout now;
    if (!ReadLayout(image.data(), image.size(), now)) return image;
    uint8_t* optional = image.data() + now.peAt + 24;
    if (entryRva) WriteLe32(optional + 16, entryRva);
    WriteLe32(optional + 36, 0x200);
    const uint32_t tableAt = now.peAt + 24 + Le16(image.data() + now.peAt + 20);
    for (size_t i = 0; i < now.sections.size(); ++i) {
        const PeSection& s = now.sections[i];
        uint8_t* entry = image.data() + tableAt + i * 40;
        const uint32_t size = s.address < pe.imageSize
                                  ? std::min(AlignUp(std::max(s.virtualSize, s.rawSize), now.sectionAlign), pe.imageSize - s.address)
                                  : 0;
        WriteLe32(entry + 16, size);
        WriteLe32(entry + 20, size ? s.address : 0);
    }
    return image;
}

}  // namespace RefEngine
