// Mach-O load commands, 32- and 64-bit, either byte order: the sections of LC_SEGMENT and
// LC_SEGMENT_64.
#include "refengine/executables/MachO.h"

#include "refengine/object/ByteOrder.h"
#include "refengine/Limits.h"

#include <algorithm>

namespace RefEngine {
namespace {

const uint32_t Segment32 = 0x1, Segment64 = 0x19, ZeroFill = 0x1, ZeroFillLarge = 0xC;

}  // namespace

bool ReadMachO(ByteSource& source, ObjectInfo& info) {
    info.structured = false;
    info.sections.clear();
    const uint64_t size = source.Size();
    uint8_t header[32];
    if (size < sizeof header || source.Read(0, header, sizeof header) != sizeof header) return false;
    const uint32_t magic = static_cast<uint32_t>(Integer(header, 4, true));
    const bool big = magic == 0xFEEDFACE || magic == 0xFEEDFACF, wide = magic == 0xFEEDFACF || magic == 0xCFFAEDFE;
    if (!big && magic != 0xCEFAEDFE && magic != 0xCFFAEDFE) return false;
    const uint32_t commands = static_cast<uint32_t>(Integer(header + 16, 4, big));
    const uint32_t commandBytes = static_cast<uint32_t>(Integer(header + 20, 4, big));
    const uint32_t headerSize = wide ? 32 : 28;
    if (commands > Limits::MachOCommands || commandBytes > Limits::MachOCommandBytes || commandBytes > size - headerSize) return false;
    std::vector<uint8_t> table(commandBytes);
    if (source.Read(headerSize, table.data(), table.size()) != table.size()) return false;
    for (uint32_t c = 0, at = 0; c < commands; ++c) {
        if (table.size() - at < 8) return false;
        const uint32_t command = static_cast<uint32_t>(Integer(&table[at], 4, big));
        const uint32_t length = static_cast<uint32_t>(Integer(&table[at + 4], 4, big));
        if (length < 8 || length > table.size() - at) return false;
        if (command == Segment32 || command == Segment64) {
            const bool segment64 = command == Segment64;
            const uint32_t fixed = segment64 ? 72 : 56, entry = segment64 ? 80 : 68;
            if (length < fixed) return false;
            const uint32_t sections = static_cast<uint32_t>(Integer(&table[at + fixed - 8], 4, big));
            if (sections > (length - fixed) / entry || info.sections.size() + sections > Limits::MachOSections) return false;
            for (uint32_t s = 0; s < sections; ++s) {
                const uint8_t* record = &table[at + fixed + s * entry];
                const uint64_t stated = segment64 ? Integer(record + 40, 8, big) : Integer(record + 36, 4, big);
                const uint64_t offset = Integer(record + (segment64 ? 48 : 40), 4, big);
                const uint32_t kind = static_cast<uint32_t>(Integer(record + (segment64 ? 64 : 56), 4, big)) & 0xFF;
                ObjectInfo::Section section;
                section.offset = offset;
                section.rawSize = kind == ZeroFill || kind == ZeroFillLarge ? 0 : stated;  // nothing in the file
                section.size = offset >= size ? 0 : std::min<uint64_t>(section.rawSize, size - offset);
                info.sections.push_back(section);
            }
        }
        at += length;
    }
    info.entryPoint = UINT64_MAX;
    info.structured = true;
    return true;
}

}  // namespace RefEngine
