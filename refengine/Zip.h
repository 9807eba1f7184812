// ZIP archives (stored and deflate): the members of an archive, unpacked into memory within limits,
// so that a zip bomb is refused rather than obeyed.
#pragma once

#include "refengine/Source.h"

#include <functional>
#include <string>
#include <vector>

namespace RefEngine {

struct ZipLimits {
    uint64_t maxMemberSize = 32u << 20;  // unpacked bytes of one member
    uint32_t maxMembers = 10000;
    uint32_t maxRatio = 200;             // unpacked / packed, for members above 1 MiB
};

// Calls visit(name, data) for each member that can be unpacked within the limits, in directory order;
// members that break a limit, use another method or are damaged are skipped. Returns false when the
// source is not a ZIP archive. visit returns false to stop.
bool ForEachZipMember(ByteSource& source, const ZipLimits& limits,
                      const std::function<bool(const std::string& name, const std::vector<uint8_t>& data)>& visit);

}  // namespace RefEngine
