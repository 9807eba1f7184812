// Fuzz target: base files of every type the engine reads, then a scan of the same bytes with what
// loaded (the matcher built from hostile signatures). The first byte picks the type.
#include "refengine/core/Scanner.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const types[] = {".ndb", ".ldb", ".hdb", ".hsb", ".mdb", ".msb", ".fp", ".sfp", ".ign", ".ign2", ".tvb", ".cvd"};
    if (size < 1) return 0;
    const std::string type = types[data[0] % (sizeof types / sizeof *types)];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    RefEngine::Database database;
    if (type == ".cvd") {
        RefEngine::MemorySource source(data + 1, size - 1);
        database.LoadContainer(source, type, "fuzz.cvd");
    } else {
        database.LoadText(text, type);
    }
    database.Seal();
    const RefEngine::Engine engine(database);
    RefEngine::MemorySource object(data + 1, size - 1);
    engine.Scan(object, L"fuzz", nullptr, nullptr);
    return 0;
}
