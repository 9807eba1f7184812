// A dialog on the main window's template with its five picture buttons set up by the main window's own
// code, without the engine and quarantine the main window starts; for button tests and pictures.
#pragma once

#include "app/MainButtons.h"
#include "framework/Gdi.h"
#include "framework/Dialog.h"
#include "resources/resource.h"

namespace TestSupport {

class ButtonsDialog : public CDialog {
public:
    ButtonsDialog() : CDialog(IDD_TERVANLIVESCANNER_DIALOG, nullptr) {}
    CDoubleLineTextButton logo, quick, full, custom, repository;
    int clicks = 0;  // clicks on Quick scan

protected:
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        logo.SubclassDlgItem(IDC_LOGO, this);
        quick.SubclassDlgItem(IDC_QUICK_SCAN, this);
        full.SubclassDlgItem(IDC_FULL_SCAN, this);
        custom.SubclassDlgItem(IDC_CUSTOM_SCAN, this);
        repository.SubclassDlgItem(IDC_FILE_REPOSITORY, this);
        SetUpMainButtons({logo, quick, full, custom, repository}, WindowDpi(hwnd_));
        return TRUE;
    }
    bool OnCommand(UINT id, UINT code, HWND) override {
        if (id == IDC_QUICK_SCAN && code == BN_CLICKED) ++clicks;
        return id == IDC_QUICK_SCAN;
    }
};

}  // namespace TestSupport
