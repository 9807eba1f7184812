// Where a signature's offset lets its match begin in one object.
#include "refengine/match/Matcher.h"

namespace RefEngine {

bool ResolveOffset(const Offset& offset, const ObjectInfo& info, uint64_t& first, uint64_t& last) {
    int64_t at = 0;
    switch (offset.kind) {
    case Offset::Anywhere:
        first = 0;
        last = Unbounded;
        return true;
    case Offset::FromStart:
        at = offset.value;
        break;
    case Offset::FromEnd:
        at = static_cast<int64_t>(info.size) - offset.value;
        break;
    case Offset::EntryPoint:
        if (!info.structured || info.entryPoint == UINT64_MAX) return false;
        at = static_cast<int64_t>(info.entryPoint) + offset.value;
        break;
    case Offset::SectionStart:
        if (!info.structured || offset.section >= info.sections.size()) return false;
        at = static_cast<int64_t>(info.sections[offset.section].offset) + offset.value;
        break;
    case Offset::LastSection:
        if (!info.structured || info.sections.empty()) return false;
        at = static_cast<int64_t>(info.sections.back().offset) + offset.value;
        break;
    case Offset::SectionEnd: {
        // Anywhere inside the section.
        if (!info.structured || offset.section >= info.sections.size()) return false;
        const ObjectInfo::Section& section = info.sections[offset.section];
        if (section.size == 0) return false;
        first = section.offset;
        last = section.offset + section.size - 1;
        return first < info.size;
    }
    }
    if (at < 0 || static_cast<uint64_t>(at) >= info.size) return false;
    first = static_cast<uint64_t>(at);
    last = first + offset.shift;
    return true;
}

}  // namespace RefEngine
