// The formats the engine reads, as every room names them: each format's typed id and record (one per
// line of refengine/FormatList.h), and the container types that signatures name them by. An object's
// container is one of these; the formats themselves are made in containers/Registry.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace RefEngine {

enum class FormatId : uint8_t {
    None,  // no format: an object in no container at all, as CL_TYPE_ANY names it
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) id,
#include "refengine/FormatList.h"
#undef TERVAN_FORMAT
    Count
};

struct FormatRecord {
    FormatId id = FormatId::None;
    const char* name = "";
    uint16_t memberTypes = 0;         // TargetBit of the types its members have by their place
    const char* containerTypes = "";  // CL_TYPE_... names, separated by spaces
    const char* extensions = "";      // ".zip.apk", as extension filters are written
};

const FormatRecord& RecordOf(FormatId id);
// Every record, None's first.
const std::vector<FormatRecord>& FormatRecords();

// The format a "Container:" type names (CL_TYPE_ZIP, ...); FormatId::None for CL_TYPE_ANY. False
// when no format of the engine opens containers of that type.
bool FormatOfContainerType(const std::string& typeName, FormatId& format);

}  // namespace RefEngine
