// MD5 and SHA-256 through the system's cryptographic provider (advapi32, always in the system folder).
#pragma once

#include "base/Text.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Crypto {

class Digest {
public:
    enum Kind { Md5, Sha256 };
    explicit Digest(Kind kind);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    void Add(const void* data, size_t size);
    // The digest of everything added; empty when the provider failed at any step.
    std::vector<uint8_t> Finish();

    static std::vector<uint8_t> Of(Kind kind, const void* data, size_t size);

private:
    HCRYPTPROV provider_ = 0;
    HCRYPTHASH hash_ = 0;
    bool failed_ = false;
};

}  // namespace Crypto
