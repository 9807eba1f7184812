// A dialog on the main window's template with its five picture buttons set up as the main window
// sets them up; for the button tests and for pictures of the buttons.
#pragma once

#include "controls/DoubleLineTextButton.h"
#include "framework/Dialog.h"
#include "framework/Gdi.h"
#include "framework/String.h"
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
        captionFont_.CreateFont(18, FW_BOLD, L"Verdana");
        const struct {
            CDoubleLineTextButton* button;
            UINT bitmap, caption, description;
        } scans[] = {{&quick, IDB_QUICK_SCAN, IDS_QUICK_SCAN, IDS_QUICK_SCAN_DESCRIPTION},
                     {&full, IDB_FULL_SCAN, IDS_FULL_SCAN, IDS_FULL_SCAN_DESCRIPTION},
                     {&custom, IDB_CUSTOM_SCAN, IDS_CUSTOM_SCAN, IDS_CUSTOM_SCAN_DESCRIPTION}};
        for (const auto& scan : scans) {
            scan.button->SetFont(captionFont_);
            scan.button->SetTextMode(1);
            scan.button->SetBitmap(scan.bitmap, RGB(0, 0, 0));
            scan.button->LightenHoverBackground();
            scan.button->SetWindowText(CString::Load(scan.caption));
            scan.button->SetDescription(CString::Load(scan.description));
        }
        repository.SetTextMode(1);
        repository.SetBitmap(IDB_FILE_REPOSITORY, RGB(0, 0, 0));
        repository.LightenHoverBackground();
        repository.SetWindowText(CString::Load(IDS_RECOVER_FILES));
        logo.SetBitmap(IDB_LOGO, RGB(255, 255, 255));
        logo.SetPressStyle(2);
        logo.SizeToImage();
        logo.SetDrawBorder(false);
        return TRUE;
    }
    bool OnCommand(UINT id, UINT code, HWND) override {
        if (id == IDC_QUICK_SCAN && code == BN_CLICKED) ++clicks;
        return id == IDC_QUICK_SCAN;
    }

private:
    CFont captionFont_;
};

}  // namespace TestSupport
