// ELF headers, 32- and 64-bit, either byte order.
#include "refengine/executables/Elf.h"

#include "refengine/object/ByteOrder.h"
#include "refengine/Limits.h"

#include <algorithm>

namespace RefEngine {
namespace {

// Entries larger than the format's own are allowed (later versions may add fields), within reason.
const uint32_t LoadSegment = 1, NoBits = 8;

// A field of an ELF structure, in the file's byte order.
class Fields {
public:
    Fields(const uint8_t* bytes, bool bigEndian) : bytes_(bytes), big_(bigEndian) {}
    uint64_t Get(size_t at, int size) const { return Integer(bytes_ + at, size, big_); }

private:
    const uint8_t* bytes_;
    bool big_;
};

}  // namespace

bool ReadElf(ByteSource& source, ObjectInfo& info) {
    info.structured = false;
    info.sections.clear();
    const uint64_t size = source.Size();
    uint8_t header[64];
    if (size < sizeof header || source.Read(0, header, sizeof header) != sizeof header) return false;
    if (header[0] != 0x7F || header[1] != 'E' || header[2] != 'L' || header[3] != 'F') return false;
    const bool wide = header[4] == 2, big = header[5] == 2;
    if ((header[4] != 1 && !wide) || (header[5] != 1 && !big)) return false;
    const Fields h(header, big);
    const int word = wide ? 8 : 4;
    const uint64_t entry = h.Get(24, word), segmentsAt = h.Get(24 + word, word), sectionsAt = h.Get(24 + 2 * word, word);
    const size_t counts = wide ? 54 : 42;  // e_phentsize, e_phnum, e_shentsize, e_shnum
    const uint32_t segmentSize = static_cast<uint32_t>(h.Get(counts, 2)), segments = static_cast<uint32_t>(h.Get(counts + 2, 2));
    const uint32_t sectionSize = static_cast<uint32_t>(h.Get(counts + 4, 2)), sections = static_cast<uint32_t>(h.Get(counts + 6, 2));

    // The entry address through the loadable segment that holds it.
    bool entryFound = false;
    if (segments <= Limits::ElfSegments && segmentSize >= (wide ? 56u : 32u) && segmentSize <= Limits::ElfEntrySize && segmentsAt < size &&
        (size - segmentsAt) / segmentSize >= segments) {
        std::vector<uint8_t> table(static_cast<size_t>(segments) * segmentSize);
        if (source.Read(segmentsAt, table.data(), table.size()) != table.size()) return false;
        for (uint32_t i = 0; i < segments && !entryFound; ++i) {
            const Fields s(table.data() + i * segmentSize, big);
            if (s.Get(0, 4) != LoadSegment) continue;
            const uint64_t offset = s.Get(wide ? 8 : 4, word), address = s.Get(wide ? 16 : 8, word);
            const uint64_t fileSize = s.Get(wide ? 32 : 16, word);
            if (entry >= address && entry - address < fileSize && offset + (entry - address) < size) {
                info.entryPoint = offset + (entry - address);
                entryFound = true;
            }
        }
    }
    if (sections <= Limits::ElfSections && sectionSize >= (wide ? 64u : 40u) && sectionSize <= Limits::ElfEntrySize && sectionsAt < size &&
        (size - sectionsAt) / sectionSize >= sections) {
        std::vector<uint8_t> table(static_cast<size_t>(sections) * sectionSize);
        if (source.Read(sectionsAt, table.data(), table.size()) != table.size()) return false;
        for (uint32_t i = 0; i < sections; ++i) {
            const Fields s(table.data() + i * sectionSize, big);
            const uint64_t offset = s.Get(wide ? 24 : 16, word), stated = s.Get(wide ? 32 : 20, word);
            ObjectInfo::Section section;
            section.offset = offset;
            section.rawSize = s.Get(4, 4) == NoBits ? 0 : stated;  // nothing of it in the file
            section.size = offset >= size ? 0 : std::min<uint64_t>(section.rawSize, size - offset);
            info.sections.push_back(section);
        }
    }
    if (!entryFound && info.sections.empty()) return false;
    if (!entryFound) info.entryPoint = UINT64_MAX;
    info.structured = true;
    return true;
}

}  // namespace RefEngine
