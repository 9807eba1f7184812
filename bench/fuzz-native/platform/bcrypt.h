// The engine's hashing library (CNG) as the native build offers it: the handle types and algorithm
// names; the functions themselves are in Platform.cpp, over OpenSSL.
#pragma once

#include <windows.h>

typedef void *BCRYPT_ALG_HANDLE, *BCRYPT_HASH_HANDLE;
#define BCRYPT_MD5_ALGORITHM L"MD5"
#define BCRYPT_SHA1_ALGORITHM L"SHA1"
#define BCRYPT_SHA256_ALGORITHM L"SHA256"
