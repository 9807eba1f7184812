// PE headers: the DOS header's pointer to the PE signature, the file header, the optional header's
// entry point, and the section table.
#include "refengine/Pe.h"

#include "refengine/ByteOrder.h"

#include <algorithm>

namespace RefEngine {
namespace {

const uint32_t MaxSections = 96;  // what the system's loader accepts


}  // namespace

bool ReadPe(ByteSource& source, ObjectInfo& info) {
    info.pe = info.structured = false;
    info.types = static_cast<uint16_t>(info.types & ~TargetBit(PeTarget));
    info.sections.clear();
    const uint64_t size = source.Size();
    uint8_t dos[64];
    if (size < sizeof dos || source.Read(0, dos, sizeof dos) != sizeof dos || dos[0] != 'M' || dos[1] != 'Z') return false;
    const uint32_t pe = Le32(dos + 0x3C);
    uint8_t head[24];
    if (pe > size || size - pe < sizeof head || source.Read(pe, head, sizeof head) != sizeof head) return false;
    if (head[0] != 'P' || head[1] != 'E' || head[2] != 0 || head[3] != 0) return false;
    const uint32_t sectionCount = Le16(head + 6);
    const uint32_t optionalSize = Le16(head + 20);
    if (sectionCount == 0 || sectionCount > MaxSections || optionalSize < 40) return false;
    uint8_t optional[40];
    const uint64_t optionalAt = static_cast<uint64_t>(pe) + sizeof head;
    if (source.Read(optionalAt, optional, sizeof optional) != sizeof optional) return false;
    const uint16_t magic = Le16(optional);
    if (magic != 0x10B && magic != 0x20B) return false;
    const uint32_t entryRva = Le32(optional + 16);
    // As the system's loader does: with the usual file alignment, raw data starts at a 512-byte boundary
    // whatever the table says.
    const bool alignRaw = Le32(optional + 36) >= 0x200;

    const uint64_t tableAt = optionalAt + optionalSize;
    std::vector<uint8_t> table(sectionCount * 40);
    if (tableAt > size || size - tableAt < table.size() || source.Read(tableAt, table.data(), table.size()) != table.size())
        return false;
    bool entryFound = false;
    uint64_t entryPoint = entryRva;  // inside the headers, where the address is the file offset
    for (uint32_t i = 0; i < sectionCount; ++i) {
        const uint8_t* s = table.data() + i * 40;
        const uint32_t virtualSize = Le32(s + 8), virtualAddress = Le32(s + 12);
        const uint32_t rawSize = Le32(s + 16), rawPointer = alignRaw ? Le32(s + 20) & ~0x1FFu : Le32(s + 20);
        ObjectInfo::Section section;
        section.offset = rawPointer;
        section.size = rawPointer >= size ? 0 : std::min<uint64_t>(rawSize, size - rawPointer);
        section.rawSize = rawSize;
        info.sections.push_back(section);
        const uint64_t extent = std::max(virtualSize, rawSize);
        if (!entryFound && entryRva >= virtualAddress && entryRva - virtualAddress < extent) {
            entryFound = true;
            entryPoint = static_cast<uint64_t>(rawPointer) + (entryRva - virtualAddress);
        }
    }
    info.entryPoint = entryPoint;
    info.pe = info.structured = true;
    info.types |= TargetBit(PeTarget);
    return true;
}

}  // namespace RefEngine
