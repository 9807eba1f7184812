// Fuzz target: one archive format (FUZZ_FORMAT, its name as the engine gives it) with the library code
// it uses: the input is read as an archive of that format, every member unpacked into a sink with the
// engine's limits, and each member's bytes touched.
#include "refengine/containers/Archive.h"
#include "refengine/object/Scratch.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#ifndef FUZZ_FORMAT
#error "FUZZ_FORMAT names the format"
#endif

namespace {

const RefEngine::ArchiveFormat& Format() {
    static const RefEngine::ArchiveFormat* format = [] {
        for (const auto& f : RefEngine::ArchiveFormats())
            if (f->Name() == FUZZ_FORMAT) return f.get();
        std::abort();
    }();
    return *format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Kept from one input to the next, as a scanning context keeps it: handlers are used again.
    static RefEngine::ScratchSpace space;
    const RefEngine::ScratchScope scope(space);
    RefEngine::MemorySource source(data, size);
    RefEngine::ObjectHead head;
    head.bytes.assign(data, data + std::min(size, RefEngine::ObjectHead::Size));
    head.name = "fuzz";
    RefEngine::ArchiveLimits limits;
    limits.maxTotalUnpacked = 64u << 20;  // enough to go deep, few enough for many runs a second
    limits.maxInstructions = 2u << 20;    // a packed program's unpacking code: the same, for the interpreter
    RefEngine::ArchiveTotals totals;
    RefEngine::ArchiveReport report;
    volatile uint8_t sum = 0;
    RefEngine::MemberSink sink(Format().Name(), size, limits, totals, report, [&](const std::string& name, RefEngine::ByteSource& bytes) {
        for (uint64_t at = 0; at < bytes.Size(); ++at) sum = static_cast<uint8_t>(sum + bytes.At(at));
        return !name.empty() || true;
    });
    Format().Read(source, head, sink);
    return 0;
}
