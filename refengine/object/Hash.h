// Digests through the system's own hashing (CNG).
#pragma once

#include "refengine/object/Source.h"

#include <cstddef>
#include <vector>

namespace RefEngine {

enum class HashKind { Md5, Sha1, Sha256 };
const HashKind HashKinds[] = {HashKind::Md5, HashKind::Sha1, HashKind::Sha256};
inline size_t DigestLength(HashKind kind) { return kind == HashKind::Md5 ? 16 : kind == HashKind::Sha1 ? 20 : 32; }

// The digest of the source's bytes from offset on, length of them at most (all, by default); empty when
// the system cannot make it.
std::vector<uint8_t> Digest(HashKind kind, ByteSource& source, uint64_t offset = 0, uint64_t length = UINT64_MAX);

}  // namespace RefEngine
