// Two scanning contexts on one loaded base at once, as tervscan's workers use it: built with the thread
// sanitizer, any data race between two scans of the shared engine is reported. Each thread scans every
// file several times, in its own order, and every verdict must equal the one a scan alone gave.
//   two-contexts BASES_FOLDER FILE...      exit 0: the same verdicts, 1: a difference
#include "refengine/core/Scanner.h"
#include "refengine/object/Scratch.h"

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::string Verdict(const RefEngine::Engine& engine, const std::string& path) {
    HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "cannot open";
    RefEngine::FileSource source(file);
    const RefEngine::Detection found = engine.Scan(source, Wide(path), nullptr, [](const std::wstring&, const RefEngine::Detection&) {});
    ::CloseHandle(file);
    return found.found ? found.name + " FOUND" : found.incomplete ? "not fully scanned: " + found.why : "OK";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: two-contexts BASES_FOLDER FILE...\n");
        return 2;
    }
    RefEngine::Database database;
    database.LoadFolder(Wide(argv[1]));
    const RefEngine::Engine engine(database);
    const std::vector<std::string> files(argv + 2, argv + argc);
    std::vector<std::string> alone;
    for (const std::string& file : files) alone.push_back(Verdict(engine, file));

    const int rounds = 4;
    int differences[2] = {0, 0};
    auto scan = [&](int worker) {
        RefEngine::ScratchSpace space;  // each context's own, as the engine's contexts have
        const RefEngine::ScratchScope scope(space);
        for (int round = 0; round < rounds; ++round)
            for (size_t n = 0; n < files.size(); ++n) {
                // The second worker goes backwards, so that the two meet every file at other moments.
                const size_t i = worker == 0 ? n : files.size() - 1 - n;
                const std::string verdict = Verdict(engine, files[i]);
                if (verdict != alone[i]) {
                    std::printf("%s: alone %s, worker %d %s\n", files[i].c_str(), alone[i].c_str(), worker, verdict.c_str());
                    ++differences[worker];
                }
            }
    };
    std::thread first(scan, 0), second(scan, 1);
    first.join();
    second.join();
    std::printf("%zu files, %d rounds on 2 threads: %d differences\n", files.size(), rounds, differences[0] + differences[1]);
    return differences[0] + differences[1] ? 1 : 0;
}
