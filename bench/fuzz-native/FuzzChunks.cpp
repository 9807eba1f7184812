// Fuzz target: the verdict must not depend on how the bytes are read. The object is scanned with the
// filter reading a mebibyte at a time, and again reading a few bytes at a time (the first input byte
// says how many), so that anchors, candidates and blocks straddle the reads; any difference aborts.
#include "FuzzBase.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    RefEngine::Budgets small;
    small.readChunk = 16 + data[0] % 256;
    static const RefEngine::Engine& large = FuzzEngine();
    const RefEngine::Engine choppy(large.Data(), small);
    RefEngine::MemorySource a(data + 1, size - 1), b(data + 1, size - 1);
    const RefEngine::Detection whole = large.Scan(a, L"fuzz", nullptr, nullptr);
    const RefEngine::Detection pieces = choppy.Scan(b, L"fuzz", nullptr, nullptr);
    if (whole.found != pieces.found || whole.name != pieces.name || whole.incomplete != pieces.incomplete ||
        whole.matchStart != pieces.matchStart)
        std::abort();
    return 0;
}
