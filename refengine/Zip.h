// ZIP archives (stored and deflate): the members of an archive, unpacked into memory within limits, so
// that a zip bomb is refused rather than obeyed. Archives are read as real ones are written: data may
// come before the archive (self-extractors, with or without adjusted offsets), ZIP64 sizes and
// offsets, an end record whose count disagrees with its directory, members named like folders that
// hold data. What a limit or a damage left out is reported, so that the archive is never called clean
// when part of it was not looked at.
#pragma once

#include "refengine/Source.h"

#include <functional>
#include <string>
#include <vector>

namespace RefEngine {

struct ZipLimits {
    uint64_t maxMemberSize = 32u << 20;        // unpacked bytes of one member
    uint32_t maxMembers = 10000;               // members of one archive
    uint32_t maxRatio = 200;                   // unpacked / packed, for members above 1 MiB
    uint64_t maxTotalUnpacked = 512ull << 20;  // unpacked bytes of an object, archives in archives included
    uint32_t maxTotalMembers = 50000;          // members of an object, archives in archives included
};

// What one object's archives have used of the limits, across all levels.
struct ZipTotals {
    uint64_t unpacked = 0;
    uint32_t members = 0;
};

struct ZipReport {
    bool archive = false;     // the object is a ZIP archive
    bool incomplete = false;  // some member was not scanned
    std::string why;          // the first reason, in a few words
    uint32_t limitsHit = 0;   // members left out by a limit
};

// Calls visit(name, data) for each member that can be unpacked within the limits, in directory order.
// visit returns false to stop.
ZipReport ForEachZipMember(ByteSource& source, const ZipLimits& limits, ZipTotals& totals,
                           const std::function<bool(const std::string& name, const std::vector<uint8_t>& data)>& visit);

}  // namespace RefEngine
