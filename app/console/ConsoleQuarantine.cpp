// tervscan: the quarantine's entries on the command line.
#include "app/console/ConsoleCommands.h"
#include "app/console/ConsoleOutput.h"

#include "base/Text.h"
#include "quarantine/QuarantineErrors.h"
#include "quarantine/QuarantineManager.h"
#include "quarantine/SafePaths.h"
#include "resources/resource.h"

#include <windows.h>

#include <vector>

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

// A stored text on one line of the listing: a control character (a tab or a line break that would
// forge a field or an entry) shows as "?".
std::wstring OneLine(std::wstring text) {
    for (wchar_t& c : text)
        if (c < 0x20 || c == 0x7F) c = L'?';
    return text;
}

}  // namespace

// An entry's lasting name: its container's GUID (the file name without ".tqr"), in lower case.
std::wstring EntryGuid(const Quarantine::Entry& entry) {
    const size_t slash = entry.ContainerPath.find_last_of(L"\\/");
    std::wstring name = entry.ContainerPath.substr(slash == std::wstring::npos ? 0 : slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return LowerCase(name);
}

int RunConsoleQuarantine(const ConsoleOptions& options) {
    AvQuarantineManager manager(LoadDisksInOrder);
    manager.Start();
    boost::shared_ptr<Quarantine::CQuarantine> store = manager.GetStore();
    ConsoleOutput& out = ConsoleOutput::Get();
    if (!store) {
        ReportError(L"tervscan: the quarantine cannot be opened");
        return 2;
    }
    Quarantine::EntryTable entries;
    store->GetEntries(entries);
    if (options.mode == ConsoleOptions::QuarantineList) {
        for (const auto& element : entries) {
            const Quarantine::Entry& e = element.second;
            out.Result(OneLine(EntryGuid(e)) + L"\t" + std::to_wstring(e.Time) + L"\t" + std::to_wstring(e.OriginCode) +
                       L"\t" + OneLine(e.ThreatName) + L"\t" + OneLine(e.OriginalPath) + L"\t" + OneLine(e.ContainerPath) +
                       (e.Foreign ? L"\tforeign" : L""));
        }
        return 0;
    }

    // The entry named by its whole identifier, or by a start of it that no other entry shares.
    const std::wstring wanted = LowerCase(options.entry);
    std::vector<int> matches;
    for (const auto& element : entries)
        if (EntryGuid(element.second) == wanted) matches.assign(1, element.first);
    if (matches.empty())
        for (const auto& element : entries)
            if (EntryGuid(element.second).compare(0, wanted.size(), wanted) == 0) matches.push_back(element.first);
    if (matches.empty()) {
        ReportError(L"tervscan: no quarantine entry with identifier " + options.entry);
        return 2;
    }
    if (matches.size() > 1) {
        std::wstring list;
        for (int match : matches) list += L"\n  " + EntryGuid(entries[match]) + L"  " + OneLine(entries[match].OriginalPath);
        ReportError(L"tervscan: " + options.entry + L" names " + std::to_wstring(matches.size()) +
                    L" entries; give more of the identifier:" + list);
        return 2;
    }
    const int identifier = matches.front();
    const Quarantine::Entry entry = entries[identifier];
    if (options.mode == ConsoleOptions::QuarantineDelete) {
        if (!store->Delete(identifier)) {
            ReportError(L"tervscan: cannot delete " + EntryGuid(entry) + L": " +
                        ReasonText(SystemErrorReason(::GetLastError())));
            return 2;
        }
        out.Result(L"Deleted: " + OneLine(entry.OriginalPath));
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
            ReportError(L"tervscan: cannot restore " + OneLine(entry.OriginalPath) + L": " + ReasonText(why));
            return 2;
        }
        target = folder + L"\\" + name;
        mode = Quarantine::CQuarantine::RestoreMode::FreeName;  // never over a file that is there
    } else if (!Quarantine::IsSafeOriginalPath(entry.OriginalPath)) {
        ReportError(L"tervscan: cannot restore " + OneLine(entry.OriginalPath) + L": " +
                    ReasonText(Reason(IDS_REASON_BAD_PATH, OneLine(entry.OriginalPath))));
        return 2;
    } else if (entry.Foreign) {
        ReportError(L"tervscan: cannot restore " + OneLine(entry.OriginalPath) + L": " +
                    ReasonText(Reason(IDS_REASON_FOREIGN_COPY, OneLine(entry.OriginalPath))) + L" (--to FOLDER)");
        return 2;
    } else if (!Quarantine::IsUsualPlace(entry.OriginalPath, entry.ContainerPath)) {
        ReportError(L"tervscan: cannot restore " + OneLine(entry.OriginalPath) + L": " +
                    ReasonText(Reason(IDS_REASON_UNUSUAL_PLACE, OneLine(entry.OriginalPath))) + L" (--to FOLDER)");
        return 2;
    }
    try {
        target = store->Restore(identifier, target.c_str(), mode);
    } catch (const Quarantine::QuarantineException& e) {
        ReportError(L"tervscan: cannot restore " + OneLine(entry.OriginalPath) + L": " + ReasonText(Quarantine::ReasonOf(e)));
        return 2;
    }
    store->Delete(identifier);
    out.Result(L"Restored: " + OneLine(target));
    return 0;
}
