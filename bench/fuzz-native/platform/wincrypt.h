// The system's hashing (CryptoAPI) for the native build, over OpenSSL: MD5 and SHA-256 only.
#pragma once

#include <windows.h>

#include <openssl/evp.h>

#include <cstring>

typedef uintptr_t HCRYPTPROV, HCRYPTHASH;
typedef unsigned int ALG_ID;
typedef unsigned char BYTE;
#define PROV_RSA_AES 24u
#define CRYPT_VERIFYCONTEXT 0xF0000000u
#define CALG_MD5 0x8003u
#define CALG_SHA_256 0x800Cu
#define HP_HASHVAL 2u
#define HP_HASHSIZE 4u

inline BOOL CryptAcquireContextW(HCRYPTPROV* provider, const wchar_t*, const wchar_t*, DWORD, DWORD) {
    *provider = 1;
    return 1;
}
inline BOOL CryptReleaseContext(HCRYPTPROV, DWORD) { return 1; }
inline BOOL CryptCreateHash(HCRYPTPROV, ALG_ID algorithm, HCRYPTHASH, DWORD, HCRYPTHASH* hash) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context || !EVP_DigestInit_ex(context, algorithm == CALG_MD5 ? EVP_md5() : EVP_sha256(), nullptr)) return 0;
    *hash = reinterpret_cast<HCRYPTHASH>(context);
    return 1;
}
inline BOOL CryptHashData(HCRYPTHASH hash, const BYTE* data, DWORD size, DWORD) {
    return EVP_DigestUpdate(reinterpret_cast<EVP_MD_CTX*>(hash), data, size);
}
inline BOOL CryptGetHashParam(HCRYPTHASH hash, DWORD what, BYTE* out, DWORD* size, DWORD) {
    EVP_MD_CTX* context = reinterpret_cast<EVP_MD_CTX*>(hash);
    const DWORD length = static_cast<DWORD>(EVP_MD_CTX_size(context));
    if (what == HP_HASHSIZE) {
        std::memcpy(out, &length, sizeof length);
        return 1;
    }
    if (*size < length) return 0;
    *size = length;
    return EVP_DigestFinal_ex(context, out, nullptr);
}
inline BOOL CryptDestroyHash(HCRYPTHASH hash) {
    EVP_MD_CTX_free(reinterpret_cast<EVP_MD_CTX*>(hash));
    return 1;
}
