// tervscan: scanning the given paths through the engine manager.
#include "app/console/ConsoleCommands.h"

#include "framework/WinHandle.h"
#include "quarantine/QuarantineManager.h"
#include "scan/EngineManager.h"

#include <boost/signals2/connection.hpp>

#include <iostream>

namespace {

// Set by Ctrl+C; the main thread then stops the scan itself.
HANDLE wakeUp = nullptr;
volatile LONG interrupted = 0;

BOOL WINAPI OnConsoleControl(DWORD) {
    ::InterlockedExchange(&interrupted, 1);
    if (wakeUp) ::SetEvent(wakeUp);
    return TRUE;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[4096] = {};
    const DWORD length = ::GetFullPathNameW(path.c_str(), 4096, full, nullptr);
    return length > 0 && length < 4096 ? std::wstring(full, length) : path;
}

}  // namespace

int RunConsoleScan(const ConsoleOptions& options) {
    boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Custom));
    for (const std::wstring& path : options.paths) {
        const std::wstring full = FullPath(path);
        if (::GetFileAttributesW(full.c_str()) == INVALID_FILE_ATTRIBUTES) {
            ReportError(L"tervscan: no such file or folder: " + path);
            return 2;
        }
        task->targets.push_back(full);
    }
    if (!options.allFiles) task->extensionFilter = PotentiallyDangerousExtensions;
    task->cureThreats = options.cure;

    AvEngineManager& manager = AvEngineManager::Get();
    manager.InitEngine(options.engineFolder.empty() ? GetEngineFolder() : options.engineFolder);
    if (!manager.HasEngine()) {
        ReportError(L"tervscan: Error loading antivirus engine! (no usable ScanMain.DLL in " +
                    (options.engineFolder.empty() ? GetEngineFolder() : options.engineFolder) + L")");
        return 2;
    }
    if (options.cure) AvQuarantineManager::Get().Start();

    Win::KernelHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    wakeUp = done.Get();
    bool completed = false;
    std::wstring withheld;  // why the next reported threat was not cured
    boost::signals2::scoped_connection onWithheld =
        manager.cureWithheld.connect([&withheld](const AvCore::Threat*, const Reason& why) { withheld = ReasonText(why); });
    boost::signals2::scoped_connection onThreat =
        manager.threatHandled.connect([&withheld](const AvCore::Threat* threat, bool cured, bool quarantined) {
            std::wcout << (threat->object + L": " + threat->name + L" FOUND" + (cured ? L" (cured)" : L"") +
                           (quarantined ? L" (quarantined)" : L"") +
                           (withheld.empty() ? L"" : L" (not cured: " + withheld + L")") + L"\n");
            withheld.clear();
        });
    boost::signals2::scoped_connection onNotScanned =
        manager.objectNotScanned.connect([](const wchar_t* path, const Reason& why) {
            std::wcout << (std::wstring(path) + L": ERROR " + ReasonText(why) + L"\n");
        });
    boost::signals2::scoped_connection onFinished = manager.finished.connect([&](bool ok) {
        completed = ok;
        ::SetEvent(done.Get());
    });
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
    std::wcout << (L"\n----------- SCAN SUMMARY -----------\nChecked files: " + std::to_wstring(stats.checked) +
                   L"\nThreats found: " + std::to_wstring(stats.found) + L"\nThreats cured: " +
                   std::to_wstring(stats.cured) + L"\nNot scanned: " + std::to_wstring(stats.notScanned) + L"\n");
    std::wcout.flush();
    if (interrupted || !completed) {
        ReportError(L"tervscan: Scan aborted...");
        return 2;
    }
    // A file that could not be scanned is never passed off as clean.
    if (stats.notScanned > 0) return 2;
    return stats.found > 0 ? 1 : 0;
}
