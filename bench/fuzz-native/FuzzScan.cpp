// Fuzz target: any object scanned against a base of every signature form: the PE reader, the filter
// and the candidates' checks, ZIP archives and their members, hashes.
#include "FuzzBase.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RefEngine::MemorySource object(data, size);
    FuzzEngine().Scan(object, L"fuzz", nullptr, nullptr);
    return 0;
}
