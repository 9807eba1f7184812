// The layout of a PE file (an .exe or .dll of Windows), read from its headers as hostile input: every
// field is checked against the object's size before it is used.
#pragma once

#include "refengine/Matcher.h"
#include "refengine/Source.h"

namespace RefEngine {

// Fills info.pe, entryPoint and sections (raw data in the file, cut to the file's size); false, with
// info.pe false, when the object is not a PE file or its headers are damaged.
bool ReadPe(ByteSource& source, ObjectInfo& info);

}  // namespace RefEngine
