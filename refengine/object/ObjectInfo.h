// What one object is, as signatures see it: its size, its kinds, the container it came from, and
// for programs their entry point and sections (read by the executables' readers).
#pragma once

#include "refengine/object/Formats.h"

#include <cstdint>
#include <vector>

namespace RefEngine {

// What the offsets of signatures refer to in one object.
struct ObjectInfo {
    uint64_t size = 0;
    uint16_t types = 0;     // TargetBit of each target type the object is of
    FormatId container = FormatId::None;  // the format of the archive or document the object came from, if any
    bool pe = false;
    bool structured = false;  // a PE, ELF or Mach-O file: its entry point and sections are known
    uint64_t entryPoint = 0;  // file offset of the entry point (UINT64_MAX: none in the file)
    struct Section {
        uint64_t offset = 0, size = 0;  // raw data in the file, cut to the file's size
        uint64_t rawSize = 0;           // the size the section table gives
    };
    std::vector<Section> sections;
};

}  // namespace RefEngine
