// Feeds the reference engine mutated archives or malformed base files, in this process, and counts
// what went wrong: scans that took more than ten seconds, and the peak working set. A crash ends the
// process, and the calling script counts it.
//   bench_fuzz archives COUNT SEED      bench_fuzz bases COUNT SEED
//   bench_fuzz family FILE COUNT SEED   (mutations of one archive, of any format the engine opens)
// Prints "done COUNT stalls N slowest SECONDS peak BYTES".
#include "refengine/core/Scanner.h"
#include "tests/refengine/ZipWriter.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <random>
#include <string>

using namespace RefEngine;

namespace {

const std::string Eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

double Now() {
    LARGE_INTEGER counter, frequency;
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string Mutate(std::string data, std::mt19937& random) {
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits && !data.empty(); ++e) {
        const size_t at = random() % data.size();
        switch (random() % 6) {
        case 0: data[at] = static_cast<char>(random()); break;
        case 1: data[at] ^= static_cast<char>(1u << (random() % 8)); break;
        case 2: data.insert(at, std::string(1 + random() % 16, static_cast<char>(random()))); break;
        case 3: data.erase(at, 1 + random() % 16); break;
        case 4: {  // a 32-bit field set to something extreme
            const uint32_t values[] = {0, 1, 0x7FFFFFFF, 0xFFFFFFFF, 0x10000, 65535};
            const uint32_t v = values[random() % 6];
            for (int i = 0; i < 4 && at + i < data.size(); ++i) data[at + i] = static_cast<char>(v >> (8 * i));
            break;
        }
        default: data.resize(at); break;
        }
    }
    return data;
}

std::vector<std::string> SeedArchives() {
    std::vector<std::string> seeds;
    TestSupport::ZipWriter plain;
    plain.Add("a.txt", "hello", true);
    plain.Add("e.com", Eicar, false);
    seeds.push_back(plain.Bytes());
    TestSupport::ZipWriter nested;
    nested.Add("inner.zip", plain.Bytes(), true);
    nested.Add("big.bin", std::string(200000, 'z'), true);
    seeds.push_back(nested.Bytes());
    TestSupport::ZipWriter::Layout layout;
    layout.zip64 = true;
    seeds.push_back(plain.Bytes(layout));
    layout = TestSupport::ZipWriter::Layout();
    layout.stub = "MZ stub";
    layout.adjustOffsets = false;
    seeds.push_back(plain.Bytes(layout));
    TestSupport::ZipWriter aliases;
    aliases.Add("one", std::string(4096, 'q'), true);
    for (int i = 0; i < 50; ++i) aliases.AddAliasOfFirst("alias" + std::to_string(i));
    seeds.push_back(aliases.Bytes());
    return seeds;
}

std::string MalformedBase(std::mt19937& random) {
    const std::string good[] = {"Sig.A:0:*:41424344??4546*4748", "Sig.B:0:EOF-10:(41|42)43{2-5}44",
                                "Sig.C:0:0,20:a?b?c?d?", "Sig.D:0:*:414243(B)44(L)45!(46|47)48",
                                "Sig.E:0:*:41[1-3]424344454647"};
    std::string base;
    const int lines = 1 + static_cast<int>(random() % 50);
    for (int i = 0; i < lines; ++i) {
        std::string line = good[random() % 5];
        if (random() % 2) line = Mutate(line, random);
        if (random() % 50 == 0) line += std::string(random() % 200000, static_cast<char>('0' + random() % 10));
        base += line;
        const char* ends[] = {"\n", "\r\n", "\r", ""};
        base += ends[random() % 4];
    }
    if (random() % 5 == 0) base.insert(0, "\xEF\xBB\xBF");
    if (random() % 10 == 0) base.insert(0, "\xFF\xFE");
    return base;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return 2;
    std::string mode = argv[1], family;
    if (mode == "family") {
        if (argc < 5) return 2;
        FILE* file = std::fopen(argv[2], "rb");
        if (!file) return 2;
        char buffer[65536];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;) family.append(buffer, got);
        std::fclose(file);
        ++argv;
    }
    const int count = std::atoi(argv[2]);
    std::mt19937 random(static_cast<unsigned>(std::atoi(argv[3])));
    Database standard;
    for (const char* line : {"Eicar:0:*:58354f2150254041505b345c505a58353428505e2937434329377d", "Zeds:0:*:7a7a7a7a7a7a{10}7a7a",
                             "Sample:0:*:54455256414e2d415243484956452d53414d504c45"})
        standard.AddLine(".ndb", line);
    Engine engine(standard);
    const std::vector<std::string> seeds = SeedArchives();
    int stalls = 0;
    double slowest = 0;
    for (int i = 0; i < count; ++i) {
        const double start = Now();
        if (mode == "archives" || mode == "family") {
            const std::string data = Mutate(mode == "family" ? family : seeds[random() % seeds.size()], random);
            MemorySource source(reinterpret_cast<const uint8_t*>(data.data()), data.size());
            engine.Scan(source, L"fuzz", nullptr, nullptr);
        } else {
            const std::string text = MalformedBase(random);
            Database base;
            base.LoadText(text, ".ndb");
            Engine fuzzed(base);
            const std::string sample = "ABCDxEFxGH" + text.substr(0, 1000) + "zzzzzz..........zz";
            MemorySource source(reinterpret_cast<const uint8_t*>(sample.data()), sample.size());
            fuzzed.Scan(source, L"fuzz", nullptr, nullptr);
        }
        const double took = Now() - start;
        slowest = std::max(slowest, took);
        if (took > 10) ++stalls;
    }
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("done %d stalls %d slowest %.3f peak %lu\n", count, stalls, slowest,
                static_cast<unsigned long>(memory.PeakWorkingSetSize));
    return 0;
}
