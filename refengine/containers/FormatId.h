// The typed name of each format the engine reads (one per line of containers/FormatList.h): what
// an object's container is, and what "Container:" signatures ask for.
#pragma once

#include <cstdint>

namespace RefEngine {

enum class FormatId : uint8_t {
    None,  // no format: an object in no container at all, as CL_TYPE_ANY names it
#define TERVAN_FORMAT(id, reader, name, members, containers, extensions) id,
#include "refengine/containers/FormatList.h"
#undef TERVAN_FORMAT
    Count
};

}  // namespace RefEngine
