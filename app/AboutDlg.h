// CAboutDlg: the program's product version and the maker's web site.
#pragma once

#include "controls/WebLink.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"

class CAboutDlg : public CDialog {
public:
    // The version is read from the program file, or from the given module.
    explicit CAboutDlg(CWnd* owner = nullptr, const std::wstring& versionModule = std::wstring());

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;

private:
    std::wstring versionModule_;
    CStatic version_;
    CWebLink link_;
};

// "Tervan! Scanner Version %s" filled with the version text.
std::wstring AboutVersionText(const std::wstring& version);
