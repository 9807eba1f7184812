// MD5, SHA-1 and SHA-256 with BCrypt.
#include "refengine/Hash.h"

#include <bcrypt.h>

namespace RefEngine {

std::vector<uint8_t> Digest(HashSignature::Kind kind, ByteSource& source) {
    const wchar_t* algorithm = kind == HashSignature::Md5    ? BCRYPT_MD5_ALGORITHM
                               : kind == HashSignature::Sha1 ? BCRYPT_SHA1_ALGORITHM
                                                             : BCRYPT_SHA256_ALGORITHM;
    const ULONG length = kind == HashSignature::Md5 ? 16 : kind == HashSignature::Sha1 ? 20 : 32;
    std::vector<uint8_t> digest;
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (::BCryptOpenAlgorithmProvider(&provider, algorithm, nullptr, 0) != 0) return digest;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (::BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        std::vector<uint8_t> block(65536);
        bool ok = true;
        for (uint64_t offset = 0; ok && offset < source.Size();) {
            const size_t got = source.Read(offset, block.data(), block.size());
            if (got == 0) break;
            ok = ::BCryptHashData(hash, block.data(), static_cast<ULONG>(got), 0) == 0;
            offset += got;
        }
        digest.resize(length);
        if (!ok || ::BCryptFinishHash(hash, digest.data(), length, 0) != 0) digest.clear();
        ::BCryptDestroyHash(hash);
    }
    ::BCryptCloseAlgorithmProvider(provider, 0);
    return digest;
}

}  // namespace RefEngine
