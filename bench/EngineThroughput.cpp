// Loads the engine of a folder through the program's engine binding and scans files with it, timing
// the load and each scan (no process start, no head start), and reports the peak working set.
//   bench_engine ENGINE_FOLDER FILE-OR-FOLDER...
// One line per step: "load SECONDS RECORDS", "scan FILE SECONDS BYTES VERDICT" (a folder: every file under
// it, as one line with the number of files that were not clean), "work PERCENT WHICH" (the reference
// engine: the largest share of a work limit an object used), "peak BYTES".
//   bench_engine --pair FOLDER_A FOLDER_B FILE...
// Loads two engines (copies of the DLL in two folders are two modules) and scans each file with one
// and then the other, so that both times come from the same moment of a noisy machine:
// "pair FILE SECONDS_A SECONDS_B".
#include "engine/AvCore.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

namespace {

double Now() {
    LARGE_INTEGER counter, frequency;
    ::QueryPerformanceCounter(&counter);
    ::QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Every file under the folder, its subfolders included.
void ScanFolder(AvCore::CAvCoreScanner& scanner, const std::wstring& folder, unsigned long long& bytes,
                unsigned long long& flagged) {
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ScanFolder(scanner, folder + L"\\" + name, bytes, flagged);
            continue;
        }
        bytes += (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        if (scanner.Scan((folder + L"\\" + name).c_str()) != AvCore::CAvCoreScanner::Verdict::Clean) ++flagged;
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
}

}  // namespace

int ScanPairs(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    const uint32_t options[8] = {};
    AvCore::CAvCore first(argv[2]), second(argv[3]);
    boost::shared_ptr<AvCore::CAvCoreScanner> a = first.CreateScanner(0xFFFFFFFF, options);
    boost::shared_ptr<AvCore::CAvCoreScanner> b = second.CreateScanner(0xFFFFFFFF, options);
    if (!a || !b) return 2;
    for (int i = 4; i < argc; ++i) {
        double start = Now();
        a->Scan(argv[i]);
        const double tookA = Now() - start;
        start = Now();
        b->Scan(argv[i]);
        std::printf("pair %ls %.3f %.3f\n", argv[i], tookA, Now() - start);
    }
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    if (std::wstring(argv[1]) == L"--pair") return ScanPairs(argc, argv);
    const uint32_t options[8] = {};
    double start = Now();
    AvCore::CAvCore core(argv[1]);
    std::printf("load %.3f %u\n", Now() - start, core.GetRecordCount());
    boost::shared_ptr<AvCore::CAvCoreScanner> scanner = core.CreateScanner(0xFFFFFFFF, options);
    if (!scanner) return 2;
    for (int i = 2; i < argc; ++i) {
        WIN32_FILE_ATTRIBUTE_DATA info = {};
        ::GetFileAttributesExW(argv[i], GetFileExInfoStandard, &info);
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            unsigned long long bytes = 0, flagged = 0;
            start = Now();
            ScanFolder(*scanner, argv[i], bytes, flagged);
            std::printf("scan %ls %.3f %llu %llu-not-clean\n", argv[i], Now() - start, bytes, flagged);
            continue;
        }
        const unsigned long long size = (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        start = Now();
        const AvCore::CAvCoreScanner::Verdict verdict = scanner->Scan(argv[i]);
        const double took = Now() - start;
        std::printf("scan %ls %.3f %llu %s\n", argv[i], took, size,
                    verdict == AvCore::CAvCoreScanner::Verdict::Clean      ? "clean"
                    : verdict == AvCore::CAvCoreScanner::Verdict::Detected ? "detected"
                                                                           : "not-scanned");
    }
    // The reference engine says how close an object came to its work limits.
    typedef void(__stdcall * WorkPeakFn)(uint32_t*, char*, uint32_t);
    if (const auto workPeak = reinterpret_cast<WorkPeakFn>(::GetProcAddress(::GetModuleHandleW(L"ScanMain.DLL"), "RefEngineWorkPeak"))) {
        uint32_t millionths = 0;
        char text[1024] = "";
        workPeak(&millionths, text, sizeof text);
        std::printf("work %.2f%% %s\n", millionths / 10000.0, text);
    }
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    ::GetProcessMemoryInfo(::GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("peak %lu\n", static_cast<unsigned long>(memory.PeakWorkingSetSize));
    return 0;
}
