// tervscan: scanning the given paths through the engine manager.
#include "app/console/ConsoleCommands.h"
#include "app/console/ConsoleOutput.h"

#include "base/LiteralPath.h"
#include "base/WinHandle.h"
#include "quarantine/QuarantineManager.h"
#include "scan/EngineManager.h"

#include <boost/signals2/connection.hpp>

#include <boost/thread/mutex.hpp>

#include <algorithm>
#include <cwchar>
#include <map>

namespace {

// Set by the first Ctrl+C, which asks the scan to stop; a second one ends the process at once.
HANDLE wakeUp = nullptr;
volatile LONG interrupted = 0;

BOOL WINAPI OnConsoleControl(DWORD) {
    if (::InterlockedExchange(&interrupted, 1)) ::TerminateProcess(::GetCurrentProcess(), 2);
    if (wakeUp) ::SetEvent(wakeUp);
    return TRUE;
}

std::wstring FullPath(const std::wstring& path) {
    // A full path is taken as it stands: resolving it would drop a trailing dot or space of its name.
    if (LiteralPath(path) != path) return path;
    wchar_t full[4096] = {};
    const DWORD length = ::GetFullPathNameW(path.c_str(), 4096, full, nullptr);
    return length > 0 && length < 4096 ? std::wstring(full, length) : path;
}

std::wstring Number(const wchar_t* format, double value) {
    wchar_t text[64];
    swprintf(text, 64, format, value);
    return text;
}

std::wstring Version(uint32_t packed) {
    return std::to_wstring(packed >> 24) + L"." + std::to_wstring((packed >> 16) & 0xFF) + L"." +
           std::to_wstring((packed >> 8) & 0xFF) + L"." + std::to_wstring(packed & 0xFF);
}

// The paths to scan: the command line's, then the list file's (one a line, blank lines skipped).
bool CollectPaths(const ConsoleOptions& options, std::vector<std::wstring>& paths) {
    paths = options.paths;
    if (options.fileList.empty()) return true;
    std::wstring text;
    if (!ReadTextFile(options.fileList, text)) {
        ReportError(L"tervscan: cannot read the file list " + options.fileList);
        return false;
    }
    // A line that is no path refuses the whole list: what else it holds cannot be trusted either (a
    // binary file given by mistake has a "line" that reads as the root of the drive).
    size_t start = 0, number = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos) end = text.size();
        if (text[end] != L'\n' || end == 0 || text[end - 1] != L'\r') ++number;  // CR LF ends one line
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        while (!line.empty() && (line.back() == L' ' || line.back() == L'\t')) line.pop_back();
        while (!line.empty() && (line.front() == L' ' || line.front() == L'\t')) line.erase(0, 1);
        const wchar_t* why = nullptr;
        if (line.empty()) why = L"it holds only spaces";
        else if (std::any_of(line.begin(), line.end(), [](wchar_t c) { return c < 0x20 || c == 0x7F || c == 0xFFFD; }))
            why = L"it holds control characters or bytes that are no text";
        else if (line == L"\\" || line == L"/") why = L"it names the root of the current drive";
        if (why) {
            ReportError(L"tervscan: the file list " + options.fileList + L", line " + std::to_wstring(number) + L", is not a path (" + why +
                        L"); nothing was scanned");
            return false;
        }
        paths.push_back(line);
    }
    return true;
}

// Scanning threads when none are asked for: one per processor, within what an engine grants.
int32_t ProcessorCount() {
    SYSTEM_INFO info;
    ::GetSystemInfo(&info);
    return std::max<int32_t>(1, std::min<int32_t>(static_cast<int32_t>(info.dwNumberOfProcessors), ConsoleOptions::MaxWorkers));
}

// Loads the engine, or says exactly why it could not be loaded.
bool LoadEngine(AvEngineManager& manager, const ConsoleOptions& options) {
    const std::wstring folder = FullPath(options.engineFolder.empty() ? GetEngineFolder() : options.engineFolder);
    manager.InitEngine(folder);
    if (manager.HasEngine()) return true;
    ReportError(L"tervscan: Error loading antivirus engine! (" + manager.LoadFailure() + L")");
    return false;
}

}  // namespace

std::wstring EngineDescription(AvEngineManager& manager) {
    const boost::shared_ptr<AvCore::CAvCore> engine = manager.GetEngine();
    return L"engine " + Version(engine->GetCoreVersion()) + L", " + std::to_wstring(engine->GetRecordCount()) + L" records";
}

int RunConsoleVersion(const ConsoleOptions& options) {
    ConsoleOutput& out = ConsoleOutput::Get();
    AvEngineManager& manager = AvEngineManager::Get();
    if (!LoadEngine(manager, options)) {
        out.Result(L"tervscan " TERVAN_VERSION_WTEXT);
        return 2;
    }
    out.Result(L"tervscan " TERVAN_VERSION_WTEXT L", " + EngineDescription(manager));
    // An engine that can say what its bases held, per type (the reference engine can), and with -v
    // each line it skipped and why.
    typedef uint32_t(__stdcall * ReportTextFn)(char*, uint32_t);
    const HMODULE module = ::GetModuleHandleW(L"ScanMain.DLL");
    auto print = [&out, module](const char* exportName) {
        const ReportTextFn report = module ? reinterpret_cast<ReportTextFn>(::GetProcAddress(module, exportName)) : nullptr;
        if (!report) return;
        std::string text(report(nullptr, 0) + 1, '\0');
        text.resize(report(&text[0], static_cast<uint32_t>(text.size())));
        size_t start = 0;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            std::wstring line(L"  ");
            for (size_t i = start; i < (end == std::string::npos ? text.size() : end); ++i)
                line += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
            out.Result(line);
            if (end == std::string::npos) break;
            start = end + 1;
        }
    };
    print("RefEngineReportText");
    if (options.verbose) print("RefEngineSkippedText");
    return 0;
}

int RunConsoleScan(const ConsoleOptions& options) {
    ConsoleOutput& out = ConsoleOutput::Get();
    if (!options.logFile.empty() && !out.OpenLog(options.logFile)) {
        ReportError(L"tervscan: cannot open the log file " + options.logFile);
        return 2;
    }
    std::vector<std::wstring> paths;
    if (!CollectPaths(options, paths)) return 2;
    // Relative paths name places from the folder tervscan was started in: resolved before the engine
    // loads, which makes its own folder the current one.
    std::vector<std::wstring> fullPaths;
    for (const std::wstring& path : paths) fullPaths.push_back(FullPath(path));
    const std::wstring moveFolder = options.moveFolder.empty() ? std::wstring() : FullPath(options.moveFolder);
    if (!moveFolder.empty()) {
        const DWORD attributes = ::GetFileAttributesW(LiteralPath(moveFolder).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            ReportError(L"tervscan: --move: no folder " + options.moveFolder);
            return 2;
        }
    }

    AvEngineManager& manager = AvEngineManager::Get();
    if (!LoadEngine(manager, options)) return 2;

    boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Custom));
    task->showsProgress = false;  // no percentage to show: answer at once
    int missing = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (::GetFileAttributesW(LiteralPath(fullPaths[i]).c_str()) == INVALID_FILE_ATTRIBUTES) {
            // Reported, and the rest is still scanned.
            out.Result(paths[i] + L": ERROR No such file or folder");
            ++missing;
            continue;
        }
        task->targets.push_back(fullPaths[i]);
    }
    if (options.dangerousOnly) task->extensionFilter = QuickScanExtensions();
    task->cureThreats = options.cure;
    task->excludeFiles = options.excludeFiles;
    task->excludeFolders = options.excludeFolders;
    if (options.cure) AvQuarantineManager::Get().Start();  // also for --remove and --move, which need a cure

    task->workers = options.workers > 0 ? options.workers : ProcessorCount();

    // A file's line is written when its scan is over: a detection or an error as it is reported, an OK
    // line when the next file of the same scanning thread begins (or the scan ends) and nothing was
    // reported for it. Each scanning thread has its own line in the making.
    struct FileLine {
        std::wstring current;
        bool reported = true;
        std::wstring withheld;  // why the next reported threat was not cured
    };
    boost::mutex linesMutex;
    std::map<DWORD, FileLine> lines;  // by thread; an entry stays where it is while others are added
    auto line = [&]() -> FileLine& {
        boost::mutex::scoped_lock lock(linesMutex);
        return lines[::GetCurrentThreadId()];
    };
    auto settle = [&](FileLine& file) {
        if (!file.reported && !options.infectedOnly) out.Result(file.current + L": OK");
        file.reported = true;
    };
    Win::KernelHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    wakeUp = done.Get();
    bool completed = false;
    const DWORD start = ::GetTickCount();
    boost::signals2::scoped_connection connections[] = {
        manager.objectScanned.connect([&](const wchar_t* path, AvCore::ObjectType, bool inner) {
            if (inner) return;
            FileLine& file = line();
            settle(file);
            file.current = path;
            file.reported = false;
        }),
        manager.cureWithheld.connect([&](const AvCore::Threat*, const Reason& why) { line().withheld = ReasonText(why); }),
        manager.threatHandled.connect([&](const AvCore::Threat* threat, bool cured, bool quarantined) {
            FileLine& file = line();
            // A threat left in place is removed or moved when asked, always through a quarantine copy.
            std::wstring removal;
            if (!cured && (options.remove || !moveFolder.empty())) {
                Reason why;
                std::wstring movedTo;
                if (AvQuarantineManager::Get().RemoveWithCopy(*threat, quarantined, why, moveFolder, &movedTo)) {
                    ++task->stats.deleted;
                    removal = moveFolder.empty() ? L" (removed)" : L" (moved to " + movedTo + L")";
                } else {
                    removal = L" (not removed: " + ReasonText(why) + L")";
                }
            }
            out.Result(threat->object + L": " + threat->name + L" FOUND" + (cured ? L" (cured)" : L"") +
                       (quarantined ? L" (quarantined)" : L"") +
                       (file.withheld.empty() ? L"" : L" (not cured: " + file.withheld + L")") + removal);
            file.withheld.clear();
            file.reported = true;
        }),
        manager.objectNotScanned.connect([&](const wchar_t* path, const Reason& why) {
            out.Result(std::wstring(path) + L": ERROR " + ReasonText(why));
            line().reported = true;
        }),
        manager.finished.connect([&](bool ok) {
            // Every scanning thread has ended by now.
            for (auto& file : lines) settle(file.second);
            completed = ok;
            ::SetEvent(done.Get());
        })};
    ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);

    if (!manager.StartScan(task)) {
        ReportError(L"tervscan: Unable to start scanning: AvEngine initialization failed!");
        return 2;
    }
    ::WaitForSingleObject(done.Get(), INFINITE);
    manager.Stop();  // after an interruption this aborts; otherwise it only waits for the worker's end
    ::SetConsoleCtrlHandler(OnConsoleControl, FALSE);
    wakeUp = nullptr;

    const ScanStatistics& stats = task->stats;
    const double seconds = (::GetTickCount() - start) / 1000.0;
    std::vector<std::wstring> summary = {
        L"",
        L"----------- SCAN SUMMARY -----------",
        L"Engine: " + EngineDescription(manager),
        L"Scanned folders: " + std::to_wstring(stats.folders),
        L"Checked files: " + std::to_wstring(stats.checked),
        L"Threats found: " + std::to_wstring(stats.found),
        L"Threats cured: " + std::to_wstring(stats.cured),
        L"Not scanned: " + std::to_wstring(stats.notScanned + missing),
        L"Data scanned: " + Number(L"%.2f MB", static_cast<double>(stats.bytes) / (1024.0 * 1024.0)),
        L"Time: " + Number(L"%.3f sec", seconds)};
    if (options.remove || !moveFolder.empty())
        summary.insert(summary.begin() + 7, (options.remove ? L"Threats removed: " : L"Threats moved: ") + std::to_wstring(stats.deleted));
    for (const std::wstring& line : summary) out.Result(line);
    if (interrupted || !completed) {
        ReportError(L"tervscan: Scan aborted...");
        return 2;
    }
    // A file that could not be scanned is never passed off as clean.
    if (stats.notScanned > 0 || missing > 0) return 2;
    return stats.found > 0 ? 1 : 0;
}
