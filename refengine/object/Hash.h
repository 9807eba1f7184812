// Digests through the system's own hashing (CNG).
#pragma once

#include "refengine/signatures/HashStore.h"
#include "refengine/object/Source.h"

#include <vector>

namespace RefEngine {

// The digest of the source's bytes from offset on, length of them at most (all, by default); empty when
// the system cannot make it.
std::vector<uint8_t> Digest(HashKind kind, ByteSource& source, uint64_t offset = 0, uint64_t length = UINT64_MAX);

}  // namespace RefEngine
