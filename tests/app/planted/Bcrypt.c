/* A bcrypt.dll as someone might plant it beside a program: every call succeeds and every hash
   comes out as zeros. A program that loads it finds no file by its hash. */
#include <windows.h>

#define PLANTED __declspec(dllexport) LONG WINAPI

PLANTED BCryptOpenAlgorithmProvider(void** algorithm, LPCWSTR id, LPCWSTR implementation, ULONG flags) {
    (void)id, (void)implementation, (void)flags;
    *algorithm = (void*)1;
    return 0;
}
PLANTED BCryptCloseAlgorithmProvider(void* algorithm, ULONG flags) { (void)algorithm, (void)flags; return 0; }
PLANTED BCryptCreateHash(void* algorithm, void** hash, PUCHAR object, ULONG objectSize, PUCHAR secret, ULONG secretSize,
                         ULONG flags) {
    (void)algorithm, (void)object, (void)objectSize, (void)secret, (void)secretSize, (void)flags;
    *hash = (void*)1;
    return 0;
}
PLANTED BCryptHashData(void* hash, PUCHAR input, ULONG size, ULONG flags) { (void)hash, (void)input, (void)size, (void)flags; return 0; }
PLANTED BCryptFinishHash(void* hash, PUCHAR output, ULONG size, ULONG flags) {
    (void)hash, (void)flags;
    ZeroMemory(output, size);
    return 0;
}
PLANTED BCryptDestroyHash(void* hash) { (void)hash; return 0; }
