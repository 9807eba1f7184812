// TervanSelectFolderDlg: aims a custom scan. The user ticks drives, folders and files in a tree and
// chooses the file types; "Start scanning" (OK) reduces the ticks to a sorted list of paths.
#pragma once

#include "dialogs/FolderTreeCtrl.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"

#include <list>
#include <string>

class TervanSelectFolderDlg : public CDialog {
public:
    explicit TervanSelectFolderDlg(CWnd* parent);

    // After OK: the chosen paths in ascending order, and whether "All file types" was chosen.
    const std::list<std::wstring>& Result() const { return result_; }
    bool AllFileTypes() const { return allFileTypes_; }
    CFolderTreeCtrl& Tree() { return tree_; }

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    void OnOK() override;

private:
    CFolderTreeCtrl tree_;
    std::list<std::wstring> result_;
    bool allFileTypes_ = false;
    CComboBox fileTypes_;
    CButton ok_;
    CStatic fileTypesLabel_;
};
