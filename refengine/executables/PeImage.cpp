// Reading a PE file's headers, for the matcher and for the unpackers; writing an image back as a program file.
#include "refengine/executables/PeImage.h"

#include "refengine/Limits.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/ObjectType.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {

uint32_t AlignUp(uint32_t value, uint32_t alignment) { return (value + alignment - 1) / alignment * alignment; }

bool ReadPeHeaders(ByteSource& source, PeLayout& pe) {
    pe = PeLayout();
    const uint64_t size = source.Size();
    uint8_t dos[64];
    if (size < sizeof dos || source.Read(0, dos, sizeof dos) != sizeof dos || dos[0] != 'M' || dos[1] != 'Z') return false;
    pe.peAt = Le32(dos + 0x3C);
    uint8_t header[24];
    if (pe.peAt > size || size - pe.peAt < sizeof header || source.Read(pe.peAt, header, sizeof header) != sizeof header) return false;
    if (std::memcmp(header, "PE\0\0", 4) != 0) return false;
    pe.machine = Le16(header + 4);
    const uint32_t count = Le16(header + 6);
    pe.optionalSize = Le16(header + 20);
    pe.dll = (Le16(header + 22) & 0x2000) != 0;
    if (count == 0 || count > Limits::PeSections) return false;
    // The optional header's fields as far as the object holds them, whatever size it claims: readers
    // that need more of it check its size themselves.
    const uint64_t optionalAt = static_cast<uint64_t>(pe.peAt) + sizeof header;
    uint8_t optional[112 + 24] = {};
    source.Read(optionalAt, optional, static_cast<size_t>(std::min<uint64_t>(sizeof optional, size - optionalAt)));
    pe.magic = Le16(optional);
    const bool wide = pe.magic == 0x20B;  // PE32+ has a 64-bit image base and stack sizes
    const uint32_t directories = wide ? 112 : 96;
    pe.entry = Le32(optional + 16);
    pe.imageBase = Le32(optional + (wide ? 24 : 28));
    pe.sectionAlign = Le32(optional + 32);
    pe.fileAlign = Le32(optional + 36);
    pe.imageSize = Le32(optional + 56);
    pe.headersSize = Le32(optional + 60);
    // The data directories: imports (1), resources (2).
    if (pe.optionalSize >= directories + 24 && optionalAt + directories + 24 <= size) {
        pe.importRva = Le32(optional + directories + 8);
        pe.importSize = Le32(optional + directories + 12);
        pe.resourceRva = Le32(optional + directories + 16);
        pe.resourceSize = Le32(optional + directories + 20);
    }
    const uint64_t tableAt = optionalAt + pe.optionalSize;
    std::vector<uint8_t> table(count * 40);
    if (tableAt > size || size - tableAt < table.size() || source.Read(tableAt, table.data(), table.size()) != table.size())
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* s = table.data() + i * 40;
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

bool ReadLayout(const uint8_t* d, size_t size, PeLayout& pe, bool wideToo) {
    MemorySource source(d, size);
    if (!ReadPeHeaders(source, pe) || size - pe.peAt < 24 + 96) return false;
    const bool wide = wideToo && pe.machine == 0x8664 && pe.magic == 0x20B;
    if (!wide && (pe.machine != 0x14C || pe.magic != 0x10B)) return false;
    return pe.sectionAlign != 0 && (pe.sectionAlign & (pe.sectionAlign - 1)) == 0;
}

bool ReadPe(ByteSource& source, ObjectInfo& info) {
    info.pe = info.structured = false;
    info.types = static_cast<uint16_t>(info.types & ~TargetBit(PeTarget));
    info.sections.clear();
    PeLayout pe;
    if (!ReadPeHeaders(source, pe) || pe.optionalSize < 40 || (pe.magic != 0x10B && pe.magic != 0x20B)) return false;
    const uint64_t size = source.Size();
    for (const PeSection& s : pe.sections) {
        ObjectInfo::Section section;
        section.offset = RawStart(pe, s);
        section.size = section.offset >= size ? 0 : std::min<uint64_t>(s.rawSize, size - section.offset);
        section.rawSize = s.rawSize;
        info.sections.push_back(section);
    }
    // An entry point in no section lies in the headers, where the address is the file offset.
    info.entryPoint = pe.entrySection < 0 ? pe.entry
                                          : RawStart(pe, pe.sections[static_cast<size_t>(pe.entrySection)]) +
                                                static_cast<uint64_t>(pe.entry - pe.sections[static_cast<size_t>(pe.entrySection)].address);
    info.pe = info.structured = true;
    info.types |= TargetBit(PeTarget);
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
