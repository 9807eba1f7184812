// tervscan: the quarantine's entries on the command line.
#include "app/console/ConsoleCommands.h"

#include "quarantine/QuarantineErrors.h"
#include "quarantine/QuarantineManager.h"
#include "quarantine/SafePaths.h"
#include "resources/resource.h"

#include <windows.h>

#include <iostream>

namespace {

// Disks are loaded one after another, so that the identifiers are the same from run to run
// while the quarantine folders do not change.
boost::shared_ptr<Quarantine::CQuarantine> LoadDisksInOrder() {
    boost::shared_ptr<Quarantine::CQuarantine> store(new Quarantine::CQuarantine(L""));
    for (wchar_t letter = L'c'; letter <= L'z'; ++letter) {
        const wchar_t root[] = {letter, L':', L'\\', 0};
        if (::GetDriveTypeW(root) != DRIVE_FIXED) continue;
        store->AttachDisk(letter);
        while (store->IsLoading()) ::Sleep(5);
    }
    return store;
}

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (const char* c = text; *c; ++c) wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return wide;
}

}  // namespace

int RunConsoleQuarantine(const ConsoleOptions& options) {
    AvQuarantineManager manager(LoadDisksInOrder);
    manager.Start();
    boost::shared_ptr<Quarantine::CQuarantine> store = manager.GetStore();
    if (!store) {
        ReportError(L"tervscan: the quarantine cannot be opened");
        return 2;
    }
    if (options.mode == ConsoleOptions::QuarantineList) {
        Quarantine::EntryTable entries;
        store->GetEntries(entries);
        for (const auto& entry : entries) {
            const Quarantine::Entry& e = entry.second;
            std::wcout << (std::to_wstring(entry.first) + L"\t" + std::to_wstring(e.Time) + L"\t" +
                           std::to_wstring(e.OriginCode) + L"\t" + e.ThreatName + L"\t" + e.OriginalPath + L"\t" +
                           e.ContainerPath + L"\n");
        }
        std::wcout.flush();
        return 0;
    }

    Quarantine::Entry entry;
    if (!store->GetEntry(options.identifier, entry)) {
        ReportError(L"tervscan: no quarantine entry with identifier " + std::to_wstring(options.identifier));
        return 2;
    }
    if (options.mode == ConsoleOptions::QuarantineDelete) {
        store->Delete(options.identifier);
        std::wcout << (L"Deleted: " + entry.OriginalPath + L"\n");
        std::wcout.flush();
        return 0;
    }
    std::wstring target = entry.OriginalPath;
    Quarantine::CQuarantine::RestoreMode mode = Quarantine::CQuarantine::RestoreMode::Overwrite;
    Reason why;
    if (!options.restoreFolder.empty()) {
        std::wstring folder = options.restoreFolder;
        if (folder.back() == L'\\' || folder.back() == L'/') folder.pop_back();
        const std::wstring name = Quarantine::FileNameFromStoredPath(entry.OriginalPath, &why);
        if (name.empty()) {
            ReportError(L"tervscan: cannot restore " + entry.OriginalPath + L": " + ReasonText(why));
            return 2;
        }
        target = folder + L"\\" + name;
        mode = Quarantine::CQuarantine::RestoreMode::FreeName;  // never over a file that is there
    } else if (!Quarantine::IsSafeOriginalPath(entry.OriginalPath)) {
        ReportError(L"tervscan: cannot restore " + entry.OriginalPath + L": " +
                    ReasonText(Reason(IDS_REASON_BAD_PATH, entry.OriginalPath)));
        return 2;
    }
    try {
        target = store->Restore(options.identifier, target.c_str(), mode);
    } catch (const Quarantine::QuarantineException& e) {
        ReportError(L"tervscan: cannot restore " + entry.OriginalPath + L": " +
                    (e.reason ? ReasonText(e.reason) : Widen(e.what())));
        return 2;
    }
    store->Delete(options.identifier);
    std::wcout << (L"Restored: " + target + L"\n");
    std::wcout.flush();
    return 0;
}
