// MD5, SHA-1 and SHA-256 with the system's hashing (CNG), loaded on first use: most scans hash
// nothing, and a process that loads the engine should not pay for the library until then.
#include "refengine/object/Hash.h"

#include <bcrypt.h>

#include <algorithm>

namespace RefEngine {
namespace {

struct Cng {
    typedef NTSTATUS(WINAPI* OpenFn)(BCRYPT_ALG_HANDLE*, LPCWSTR, LPCWSTR, ULONG);
    typedef NTSTATUS(WINAPI* CloseFn)(BCRYPT_ALG_HANDLE, ULONG);
    typedef NTSTATUS(WINAPI* CreateFn)(BCRYPT_ALG_HANDLE, BCRYPT_HASH_HANDLE*, PUCHAR, ULONG, PUCHAR, ULONG, ULONG);
    typedef NTSTATUS(WINAPI* DataFn)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    typedef NTSTATUS(WINAPI* FinishFn)(BCRYPT_HASH_HANDLE, PUCHAR, ULONG, ULONG);
    typedef NTSTATUS(WINAPI* DestroyFn)(BCRYPT_HASH_HANDLE);

    Cng() {
        // Kept loaded for the life of the process, like a library it imports; from the system folder
        // only, never a bcrypt.dll planted beside the program.
        HMODULE module = ::LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module) return;
        open = reinterpret_cast<OpenFn>(::GetProcAddress(module, "BCryptOpenAlgorithmProvider"));
        close = reinterpret_cast<CloseFn>(::GetProcAddress(module, "BCryptCloseAlgorithmProvider"));
        create = reinterpret_cast<CreateFn>(::GetProcAddress(module, "BCryptCreateHash"));
        data = reinterpret_cast<DataFn>(::GetProcAddress(module, "BCryptHashData"));
        finish = reinterpret_cast<FinishFn>(::GetProcAddress(module, "BCryptFinishHash"));
        destroy = reinterpret_cast<DestroyFn>(::GetProcAddress(module, "BCryptDestroyHash"));
    }
    bool Usable() const { return open && close && create && data && finish && destroy; }

    OpenFn open = nullptr;
    CloseFn close = nullptr;
    CreateFn create = nullptr;
    DataFn data = nullptr;
    FinishFn finish = nullptr;
    DestroyFn destroy = nullptr;
};

const Cng& System() {
    static const Cng cng;  // made once, by the first thread that hashes
    return cng;
}

}  // namespace

std::vector<uint8_t> Digest(HashKind kind, ByteSource& source, uint64_t offset, uint64_t length) {
    const Cng& cng = System();
    std::vector<uint8_t> digest;
    if (!cng.Usable()) return digest;
    const wchar_t* algorithm = kind == HashKind::Md5    ? BCRYPT_MD5_ALGORITHM
                               : kind == HashKind::Sha1 ? BCRYPT_SHA1_ALGORITHM
                                                        : BCRYPT_SHA256_ALGORITHM;
    const ULONG digestLength = static_cast<ULONG>(DigestLength(kind));
    const uint64_t end = offset + std::min(length, source.Size() - std::min(offset, source.Size()));
    BCRYPT_ALG_HANDLE provider = nullptr;
    if (cng.open(&provider, algorithm, nullptr, 0) != 0) return digest;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (cng.create(provider, &hash, nullptr, 0, nullptr, 0, 0) == 0) {
        std::vector<uint8_t> block(65536);
        bool ok = true;
        for (uint64_t at = offset; ok && at < end;) {
            const size_t got = source.Read(at, block.data(), static_cast<size_t>(std::min<uint64_t>(block.size(), end - at)));
            if (got == 0) break;
            ok = cng.data(hash, block.data(), static_cast<ULONG>(got), 0) == 0;
            at += got;
        }
        digest.resize(digestLength);
        if (!ok || cng.finish(hash, digest.data(), digestLength, 0) != 0) digest.clear();
        cng.destroy(hash);
    }
    cng.close(provider, 0);
    return digest;
}

}  // namespace RefEngine
