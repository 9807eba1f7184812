// The layout of an ELF file (a program or library of Unix systems), read from its headers as hostile
// input: every field is checked against the object's size before it is used.
#pragma once

#include "refengine/object/ObjectInfo.h"
#include "refengine/object/Source.h"

namespace RefEngine {

// Fills info.structured, entryPoint (the file offset of the entry address, through the loadable
// segment that holds it) and sections (each section header's data in the file, in the table's order);
// false, with info.structured false, when the object is not an ELF file or its headers are damaged.
bool ReadElf(ByteSource& source, ObjectInfo& info);

}  // namespace RefEngine
