// Restoring, saving and deleting quarantine entries.
#include "quarantine/FileActions.h"

#include "base/Text.h"
#include "quarantine/QuarantineErrors.h"
#include "quarantine/QuarantineManager.h"
#include "quarantine/SafePaths.h"
#include "resources/resource.h"

#include <map>
#include <vector>

namespace {

// Without the windows, nobody is asked: an unusual place is not restored to, no folder is chosen.
bool RefuseWithoutAsking(const std::wstring&) { return false; }
bool ChooseNoFolder(HWND, std::wstring&) { return false; }

CFileRestoreAction::Confirmation& CurrentConfirmation() {
    static CFileRestoreAction::Confirmation confirmation = RefuseWithoutAsking;
    return confirmation;
}

CFileRestoreToFolderAction::FolderDialog& CurrentFolderDialog() {
    static CFileRestoreToFolderAction::FolderDialog dialog = ChooseNoFolder;
    return dialog;
}

}  // namespace

std::set<int> NewerCopiesOfOnePath(AvQuarantineManager& manager, const std::vector<int>& identifiers) {
    std::set<int> newer;
    boost::shared_ptr<Quarantine::CQuarantine> store = manager.GetStore();
    if (!store) return newer;
    std::map<std::wstring, std::pair<int, Quarantine::Entry>> oldest;
    for (int identifier : identifiers) {
        Quarantine::Entry entry;
        if (!store->GetEntry(identifier, entry)) continue;
        auto it = oldest.find(LowerCase(entry.OriginalPath));
        if (it == oldest.end()) {
            oldest.emplace(LowerCase(entry.OriginalPath), std::make_pair(identifier, entry));
        } else if (Quarantine::IsOlderCopy(entry, it->second.second) ||
                   (!Quarantine::IsOlderCopy(it->second.second, entry) && identifier < it->second.first)) {
            // Copies that cannot be told apart by time keep the order in which they were registered.
            newer.insert(it->second.first);
            it->second = std::make_pair(identifier, entry);
        } else {
            newer.insert(identifier);
        }
    }
    return newer;
}

CFileDeleteAction::CFileDeleteAction(AvQuarantineManager& manager) : CFileAction(manager) {}

bool CFileDeleteAction::Execute(int identifier) {
    lastError_.clear();
    boost::shared_ptr<Quarantine::CQuarantine> store = manager_.GetStore();
    if (!store || store->Delete(identifier)) return true;
    lastError_ = ReasonText(SystemErrorReason(::GetLastError()));
    return false;
}

CFileRestoreAction::CFileRestoreAction(AvQuarantineManager& manager) : CFileAction(manager) {}

void CFileRestoreAction::Prepare(const std::vector<int>& identifiers) {
    heldBack_ = NewerCopiesOfOnePath(manager_, identifiers);
}

bool CFileRestoreAction::Execute(int identifier) {
    lastError_.clear();
    if (heldBack_.count(identifier)) {
        lastError_ = ReasonText(Reason(IDS_REASON_OLDER_COPY_CHOSEN));
        return false;
    }
    Reason why;
    bool restored = manager_.RestoreToOriginal(identifier, &why);
    if (!restored && (why.id == IDS_REASON_UNUSUAL_PLACE || why.id == IDS_REASON_FOREIGN_COPY) &&
        CurrentConfirmation()(ReasonText(Reason(why.id == IDS_REASON_UNUSUAL_PLACE ? IDS_CONFIRM_UNUSUAL_PLACE : IDS_CONFIRM_FOREIGN_COPY, why.argument))))
        restored = manager_.RestoreToOriginal(identifier, &why, true);
    if (!restored) {
        lastError_ = ReasonText(why);
        return false;
    }
    if (boost::shared_ptr<Quarantine::CQuarantine> store = manager_.GetStore()) store->Delete(identifier);
    return true;
}

void CFileRestoreAction::SetConfirmation(const Confirmation& confirmation) {
    CurrentConfirmation() = confirmation ? confirmation : Confirmation(RefuseWithoutAsking);
}

void CFileRestoreToFolderAction::SetFolderDialog(const FolderDialog& dialog) {
    CurrentFolderDialog() = dialog ? dialog : FolderDialog(ChooseNoFolder);
}

CFileRestoreToFolderAction::CFileRestoreToFolderAction(HWND parent, AvQuarantineManager& manager)
    : CFileAction(manager) {
    std::wstring chosen;
    if (CurrentFolderDialog()(parent, chosen)) {
        // A drive's root comes back as "D:\\"; names are joined with a backslash of their own.
        while (chosen.size() > 2 && chosen.back() == L'\\') chosen.pop_back();
        folder_ = chosen;
    }
}

bool CFileRestoreToFolderAction::Execute(int identifier) {
    lastError_.clear();
    if (folder_.empty()) return false;
    boost::shared_ptr<Quarantine::CQuarantine> store = manager_.GetStore();
    Quarantine::Entry entry;
    if (!store || !store->GetEntry(identifier, entry)) return false;
    Reason why;
    const std::wstring name = Quarantine::FileNameFromStoredPath(entry.OriginalPath, &why);
    if (name.empty()) {
        lastError_ = ReasonText(why);
        return false;
    }
    const std::wstring target = folder_ + L"\\" + name;
    try {
        // Never over a file that is there: a taken name gets a number.
        store->Restore(identifier, target.c_str(), Quarantine::CQuarantine::RestoreMode::FreeName);
    } catch (const Quarantine::QuarantineException& e) {
        lastError_ = ReasonText(e.reason);
        return false;
    }
    store->Delete(identifier);
    return true;
}
