// Fuzz target: any object scanned against a base of every signature form: the PE reader, the filter
// and the candidates' checks, ZIP archives and their members, hashes.
#include "FuzzBase.h"
#include "refengine/object/Scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Kept from one input to the next, as a scanning context keeps it: handlers are used again.
    static RefEngine::ScratchSpace space;
    const RefEngine::ScratchScope scope(space);
    RefEngine::MemorySource object(data, size);
    FuzzEngine().Scan(object, L"fuzz", nullptr, nullptr);
    return 0;
}
