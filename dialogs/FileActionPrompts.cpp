// The file actions' questions in a message box and the shell's folder browser.
#include "dialogs/FileActionPrompts.h"

#include "framework/App.h"
#include "framework/String.h"
#include "quarantine/FileActions.h"
#include "resources/resource.h"

#include <objbase.h>
#include <shlobj.h>

#include <vector>

namespace {

// The shell's folder browser: a file dialog would need a file name, and Wine turns a placeholder
// name into a path without a folder.
bool ShellFolderBrowser(HWND owner, std::wstring& chosenFolder) {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const CString title = CString::Load(IDS_SAVE_AS_FOLDER);
    BROWSEINFOW browse = {};
    browse.hwndOwner = owner;
    browse.lpszTitle = title.c_str();
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&browse);
    bool found = false;
    if (chosen) {
        std::vector<wchar_t> path(32768, 0);
        found = ::SHGetPathFromIDListEx(chosen, path.data(), static_cast<DWORD>(path.size()), GPFIDL_DEFAULT) != FALSE;
        if (found) chosenFolder = path.data();
        ::CoTaskMemFree(chosen);
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
    return found;
}

bool AskInAMessageBox(const std::wstring& question) {
    return AppMessageBox(question, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

}  // namespace

void AskFileActionQuestionsInWindows() {
    CFileRestoreAction::SetConfirmation(AskInAMessageBox);
    CFileRestoreToFolderAction::SetFolderDialog(ShellFolderBrowser);
}
