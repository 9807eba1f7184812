// The folder selection dialog of the custom scan.
#include "dialogs/SelectFolderDlg.h"

#include "framework/App.h"
#include "framework/String.h"
#include "resources/resource.h"

TervanSelectFolderDlg::TervanSelectFolderDlg(CWnd* parent) : CDialog(IDD_SELECT_FOLDER, parent) {}

void TervanSelectFolderDlg::DoDataExchange() {
    tree_.SubclassDlgItem(IDC_FOLDER_TREE, this);
    fileTypes_.SubclassDlgItem(IDC_FILE_TYPES, this);
    ok_.SubclassDlgItem(IDOK, this);
    fileTypesLabel_.SubclassDlgItem(IDC_FILE_TYPES_LABEL, this);
}

BOOL TervanSelectFolderDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowText(CString::Load(IDS_APP_TITLE));
    fileTypesLabel_.SetWindowText(CString::Load(IDS_FILE_TYPES));
    ok_.SetWindowText(CString::Load(IDS_START_SCANNING));
    fileTypes_.AddString(CString::Load(IDS_POTENTIALLY_DANGEROUS));
    fileTypes_.AddString(CString::Load(IDS_ALL_FILE_TYPES));
    fileTypes_.SetCurSel(0);
    tree_.Initialize();
    return TRUE;
}

void TervanSelectFolderDlg::OnOK() {
    result_.clear();
    CFolderList list(tree_);
    for (HTREEITEM drive = tree_.GetRootItem(); drive; drive = tree_.GetNextSiblingItem(drive)) list.Collect(drive);
    for (size_t i = 0; i < list.Count(); ++i) result_.push_back(list.At(i));
    result_.sort();
    if (result_.empty()) {
        // Closing would look like a scan that found nothing.
        AppMessageBox(CString::Load(IDS_NOTHING_TICKED), MB_OK | MB_ICONINFORMATION);
        return;
    }
    allFileTypes_ = fileTypes_.GetCurSel() == 1;
    EndDialog(IDOK);
}
