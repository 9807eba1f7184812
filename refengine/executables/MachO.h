// The layout of a Mach-O file (a program or library of Apple's systems), read from its load commands
// as hostile input: every field is checked against the object's size before it is used.
#pragma once

#include "refengine/object/ObjectInfo.h"
#include "refengine/object/Source.h"

namespace RefEngine {

// Fills info.structured and sections (each section of each segment, in the order of the load
// commands, its data in the file); the entry point is left unknown (UINT64_MAX), as clamscan leaves it
// for the programs of these years (their entry is in LC_MAIN). False, with info.structured false,
// when the object is not a single-architecture Mach-O file or its commands are damaged.
bool ReadMachO(ByteSource& source, ObjectInfo& info);

}  // namespace RefEngine
