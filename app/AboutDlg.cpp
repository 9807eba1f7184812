// The about box.
#include "app/AboutDlg.h"

#include "app/VersionResource.h"
#include "framework/String.h"
#include "resources/resource.h"

std::wstring AboutVersionText(const std::wstring& version) { return CString::FormatId(IDS_ABOUT_VERSION, version.c_str()); }

CAboutDlg::CAboutDlg(CWnd* owner, const std::wstring& versionModule)
    : CDialog(IDD_ABOUTBOX, owner), versionModule_(versionModule) {}

void CAboutDlg::DoDataExchange() {
    version_.SubclassDlgItem(IDC_ABOUT_VERSION, this);
    link_.SubclassDlgItem(IDC_WEB_LINK, this);
}

BOOL CAboutDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SetWindowText(CString::Load(IDS_APP_TITLE));
    CenterOnOwner();
    std::wstring version = L"1.0";
    std::wstring module = versionModule_;
    if (module.empty()) {
        wchar_t path[MAX_PATH] = {};
        if (::GetModuleFileNameW(nullptr, path, MAX_PATH)) module = path;
    }
    CVersionResource resource;
    if (!module.empty() && resource.Create(module)) version = resource.GetProductVersion();
    version_.SetWindowText(AboutVersionText(version));
    const CString site = CString::Load(IDS_WEB_SITE);
    link_.SetWindowText(site);
    link_.SetTarget(site);
    link_.SetUnderline(CWebLink::UnderlineAlways);
    return TRUE;
}
