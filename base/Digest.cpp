#include "base/Digest.h"

namespace Crypto {

Digest::Digest(Kind kind) {
    failed_ = !::CryptAcquireContextW(&provider_, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
              !::CryptCreateHash(provider_, kind == Md5 ? CALG_MD5 : CALG_SHA_256, 0, 0, &hash_);
}

Digest::~Digest() {
    if (hash_) ::CryptDestroyHash(hash_);
    if (provider_) ::CryptReleaseContext(provider_, 0);
}

void Digest::Add(const void* data, size_t size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    while (!failed_ && size > 0) {
        const DWORD step = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
        failed_ = !::CryptHashData(hash_, bytes, step, 0);
        bytes += step;
        size -= step;
    }
}

std::vector<uint8_t> Digest::Finish() {
    DWORD size = 0, length = sizeof size;
    if (failed_ || !::CryptGetHashParam(hash_, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &length, 0) || size == 0 || size > 64)
        return {};
    std::vector<uint8_t> value(size);
    if (!::CryptGetHashParam(hash_, HP_HASHVAL, value.data(), &size, 0)) return {};
    failed_ = true;  // a finished hash takes no more data
    return value;
}

std::vector<uint8_t> Digest::Of(Kind kind, const void* data, size_t size) {
    Digest digest(kind);
    digest.Add(data, size);
    return digest.Finish();
}

}  // namespace Crypto
