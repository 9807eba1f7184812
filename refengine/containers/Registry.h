// The one registry of formats: each format's typed id and record (containers/FormatList.h), the
// container types that signatures name them by, and the formats made in the order they are asked.
#pragma once

#include "refengine/containers/FormatId.h"

#include <cstdint>
#include <string>
#include <vector>

namespace RefEngine {

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
