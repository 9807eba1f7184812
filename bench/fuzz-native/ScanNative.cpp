// The engine's sources built natively, scanning as tervscan does but without Wine: for profiling, and
// for replaying what a fuzz target found.
//   scan-native BASES_FOLDER PATH...
//   scan-native --formats          the archive formats, one a line
// One line per file ("path: OK", "path: NAME FOUND", "path: ERROR why"), then the time, the bytes and
// the largest share of a work limit that an object used.
#include "refengine/core/Scanner.h"

#include <dirent.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void ScanPath(const RefEngine::Engine& engine, const std::string& path, uint64_t& bytes) {
    struct stat info;
    if (::lstat(path.c_str(), &info) != 0) return;
    if (S_ISDIR(info.st_mode)) {
        DIR* dir = ::opendir(path.c_str());
        if (!dir) return;
        while (dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") ScanPath(engine, path + "/" + name, bytes);
        }
        ::closedir(dir);
        return;
    }
    if (!S_ISREG(info.st_mode)) return;
    HANDLE file = ::CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("%s: ERROR cannot open\n", path.c_str());
        return;
    }
    RefEngine::FileSource source(file);
    const RefEngine::Detection found = engine.Scan(source, Wide(path), nullptr, nullptr);
    ::CloseHandle(file);
    bytes += static_cast<uint64_t>(info.st_size);
    if (found.found) std::printf("%s: %s FOUND\n", path.c_str(), found.name.c_str());
    else if (found.incomplete) std::printf("%s: ERROR not fully scanned: %s\n", path.c_str(), found.why.c_str());
    else std::printf("%s: OK\n", path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--formats") {
        for (const auto& format : RefEngine::ArchiveFormats()) std::printf("%s\n", format->Name().c_str());
        return 0;
    }
    if (argc < 3) {
        std::fprintf(stderr, "usage: scan-native BASES_FOLDER PATH...\n");
        return 2;
    }
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    RefEngine::Database database;
    database.LoadFolder(Wide(argv[1]));
    const RefEngine::Engine engine(database);
    const auto loaded = Clock::now();
    uint64_t bytes = 0;
    for (int i = 2; i < argc; ++i) ScanPath(engine, argv[i], bytes);
    const auto done = Clock::now();
    const RefEngine::Engine::WorkPeak peak = engine.BusiestObject();
    std::fprintf(stderr, "load %.3f s, %u records\nscan %.3f s, %.1f MB\nwork %.2f%% %s\n",
                 std::chrono::duration<double>(loaded - start).count(), database.Records(),
                 std::chrono::duration<double>(done - loaded).count(), bytes / 1048576.0, peak.share / 10000.0, peak.text.c_str());
    return 0;
}
