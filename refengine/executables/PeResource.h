// A program's resources (its resource directory: type, then name, then language), found in the file
// as hostile input: every offset checked against the section that holds the directory.
#pragma once

#include "refengine/executables/PeImage.h"
#include "refengine/object/Source.h"

#include <cstdint>
#include <string>

namespace RefEngine {

struct ResourceData {
    uint64_t offset = 0;  // in the file
    uint64_t size = 0;    // cut to the file
};

// The data of the resource of this numbered type (10: RT_RCDATA) and name (upper case, as the system's
// tools store names), in its first language; false when the program has none or its directory is damaged.
bool FindResource(ByteSource& source, const PeLayout& pe, uint32_t type, const std::string& name, ResourceData& out);

}  // namespace RefEngine
