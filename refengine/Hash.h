// Digests through the system's own hashing (CNG).
#pragma once

#include "refengine/Database.h"
#include "refengine/Source.h"

#include <vector>

namespace RefEngine {

// The digest of the whole source; empty when the system cannot make it.
std::vector<uint8_t> Digest(HashSignature::Kind kind, ByteSource& source);

}  // namespace RefEngine
