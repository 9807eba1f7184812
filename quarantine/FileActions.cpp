// Restoring, saving and deleting quarantine entries.
#include "quarantine/FileActions.h"

#include "quarantine/QuarantineErrors.h"
#include "quarantine/QuarantineManager.h"
#include "scan/ScanTask.h"

#include <commdlg.h>

#include <vector>

namespace {

const DWORD SaveDialogFlags = OFN_READONLY | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | OFN_NOVALIDATE | OFN_EXPLORER;
static_assert(SaveDialogFlags == 0x8010D, "the save dialog's flags");

bool SystemSaveDialog(HWND owner, const std::wstring& initialText, std::wstring& chosenPath) {
    std::vector<wchar_t> file(32768, 0);
    initialText.copy(file.data(), initialText.size());
    std::wstring filter = initialText + L'\0' + initialText + L'\0' + L'\0';
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = owner;
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.Flags = SaveDialogFlags;
    if (!::GetSaveFileNameW(&dialog)) return false;
    chosenPath = file.data();
    return true;
}

CFileRestoreToFolderAction::FileDialog& CurrentFileDialog() {
    static CFileRestoreToFolderAction::FileDialog dialog = SystemSaveDialog;
    return dialog;
}

std::wstring Widen(const char* text) {
    std::wstring wide;
    for (const char* c = text; *c; ++c) wide += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    return wide;
}

}  // namespace

std::wstring FolderOfChosenPath(const std::wstring& path) {
    const size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

std::wstring FileNameForFolder(const std::wstring& originalPath) {
    const size_t slash = originalPath.rfind(L'\\');
    if (slash != std::wstring::npos) return originalPath.size() > slash + 1 ? originalPath.substr(slash) : std::wstring();
    const size_t colon = originalPath.rfind(L':');
    const std::wstring name = colon == std::wstring::npos ? originalPath : originalPath.substr(colon + 1);
    return name.empty() ? std::wstring() : L"\\" + name;
}

CFileDeleteAction::CFileDeleteAction(AvQuarantineManager& manager) : CFileAction(manager) {}

bool CFileDeleteAction::Execute(int identifier) {
    if (boost::shared_ptr<Quarantine::CQuarantine> store = manager_.GetStore()) store->Delete(identifier);
    return true;
}

CFileRestoreAction::CFileRestoreAction(AvQuarantineManager& manager) : CFileAction(manager) {}

bool CFileRestoreAction::Execute(int identifier) {
    lastError_.clear();
    if (!manager_.RestoreToOriginal(identifier, &lastError_)) return false;
    if (boost::shared_ptr<Quarantine::CQuarantine> store = manager_.GetStore()) store->Delete(identifier);
    return true;
}

void CFileRestoreToFolderAction::SetFileDialog(const FileDialog& dialog) {
    CurrentFileDialog() = dialog ? dialog : FileDialog(SystemSaveDialog);
}

CFileRestoreToFolderAction::CFileRestoreToFolderAction(HWND parent, AvQuarantineManager& manager)
    : CFileAction(manager) {
    const std::wstring initialText = IsDeveloperMachine() ? L"." : L"...";
    std::wstring chosen;
    if (CurrentFileDialog()(parent, initialText, chosen)) folder_ = FolderOfChosenPath(chosen);
}

bool CFileRestoreToFolderAction::Execute(int identifier) {
    lastError_.clear();
    if (folder_.empty()) return false;
    boost::shared_ptr<Quarantine::CQuarantine> store = manager_.GetStore();
    Quarantine::Entry entry;
    if (!store || !store->GetEntry(identifier, entry)) return false;
    const std::wstring name = FileNameForFolder(entry.OriginalPath);
    if (name.empty()) {
        lastError_ = L"the entry has no file name";
        return false;
    }
    const std::wstring target = folder_ + name;
    try {
        store->Restore(identifier, target.c_str(), true);
    } catch (const Quarantine::QuarantineException& e) {
        lastError_ = Widen(e.what());
        return false;
    }
    store->Delete(identifier);
    return true;
}
