// tervscan --update: the bases beside the engine brought up to the mirror's versions.
#include "app/console/ConsoleCommands.h"
#include "app/console/ConsoleOutput.h"

#include "scan/ScanTask.h"
#include "update/BaseUpdater.h"

#include <windows.h>

int RunConsoleUpdate(const ConsoleOptions& options) {
    ConsoleOutput& out = ConsoleOutput::Get();
    wchar_t full[4096] = {}, program[4096] = {};
    const std::wstring given = options.engineFolder.empty() ? GetEngineFolder() : options.engineFolder;
    const DWORD length = ::GetFullPathNameW(given.c_str(), 4096, full, nullptr);
    const DWORD programLength = ::GetModuleFileNameW(nullptr, program, 4096);
    if (length == 0 || length >= 4096 || programLength == 0 || programLength >= 4096) {
        ReportError(L"tervscan: the bases folder cannot be found");
        return 2;
    }
    Update::BaseUpdater updater(std::wstring(full, length), std::wstring(program, programLength));
    updater.onMessage = [&](const std::wstring& line) { out.Result(line); };
    int shownPercent = -1;
    std::wstring shownFile;
    updater.onProgress = [&](const std::wstring& file, uint64_t done, uint64_t total) {
        const int percent = total ? static_cast<int>(done * 100 / total) : -1;
        if (file == shownFile && percent == shownPercent && total) return;
        shownFile = file;
        shownPercent = percent;
        out.Progress(file + L": " + std::to_wstring(done) + (total ? L" of " + std::to_wstring(total) + L" bytes (" + std::to_wstring(percent) + L"%)" : L" bytes"));
    };
    const Update::BaseUpdater::Outcome outcome = updater.Run();
    out.Result(std::wstring(outcome == Update::BaseUpdater::Updated ? L"Bases updated" :
                            outcome == Update::BaseUpdater::Current ? L"Bases are current" : L"Bases not updated") +
               L"; fetched " + std::to_wstring(updater.BytesFetched()) + L" bytes");
    return outcome == Update::BaseUpdater::Failed ? 2 : 0;
}
