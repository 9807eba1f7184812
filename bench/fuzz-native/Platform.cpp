// The hashing functions the engine looks up in the system's library, over OpenSSL, for the native build.
#include <bcrypt.h>

#include <openssl/evp.h>

#include <cwchar>

namespace {

NTSTATUS Open(BCRYPT_ALG_HANDLE* provider, LPCWSTR algorithm, LPCWSTR, ULONG) {
    const EVP_MD* md = std::wcscmp(algorithm, BCRYPT_MD5_ALGORITHM) == 0    ? EVP_md5()
                       : std::wcscmp(algorithm, BCRYPT_SHA1_ALGORITHM) == 0 ? EVP_sha1()
                                                                            : EVP_sha256();
    *provider = const_cast<EVP_MD*>(md);
    return 0;
}
NTSTATUS Close(BCRYPT_ALG_HANDLE, ULONG) { return 0; }
NTSTATUS Create(BCRYPT_ALG_HANDLE provider, BCRYPT_HASH_HANDLE* hash, PUCHAR, ULONG, PUCHAR, ULONG, ULONG) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context || !EVP_DigestInit_ex(context, static_cast<const EVP_MD*>(provider), nullptr)) return 1;
    *hash = context;
    return 0;
}
NTSTATUS Data(BCRYPT_HASH_HANDLE hash, PUCHAR bytes, ULONG size, ULONG) {
    return EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(hash), bytes, size) ? 0 : 1;
}
NTSTATUS Finish(BCRYPT_HASH_HANDLE hash, PUCHAR out, ULONG, ULONG) {
    return EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(hash), out, nullptr) ? 0 : 1;
}
NTSTATUS Destroy(BCRYPT_HASH_HANDLE hash) {
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(hash));
    return 0;
}

}  // namespace

FARPROC NativePlatform::HashFunction(const char* name) {
    const std::string wanted = name;
    if (wanted == "BCryptOpenAlgorithmProvider") return reinterpret_cast<FARPROC>(&Open);
    if (wanted == "BCryptCloseAlgorithmProvider") return reinterpret_cast<FARPROC>(&Close);
    if (wanted == "BCryptCreateHash") return reinterpret_cast<FARPROC>(&Create);
    if (wanted == "BCryptHashData") return reinterpret_cast<FARPROC>(&Data);
    if (wanted == "BCryptFinishHash") return reinterpret_cast<FARPROC>(&Finish);
    if (wanted == "BCryptDestroyHash") return reinterpret_cast<FARPROC>(&Destroy);
    return nullptr;
}
