// Setting up the main window's picture buttons.
#include "app/MainButtons.h"

#include "framework/Gdi.h"
#include "framework/String.h"
#include "resources/resource.h"

namespace {

// Live until the process ends.
CFont& CaptionFont() {
    static CFont font;
    if (!font.Get()) font.CreateFont(18, FW_BOLD, L"Verdana");
    return font;
}

}  // namespace

HFONT MainTitleFont() {
    static CFont font;
    if (!font.Get()) font.CreateFont(28, FW_BOLD, L"Times New Roman");
    return font.Get();
}

void SetUpMainButtons(const MainButtons& b) {
    const struct {
        CDoubleLineTextButton& button;
        UINT bitmap, caption, description;
    } scans[] = {{b.quickScan, IDB_QUICK_SCAN, IDS_QUICK_SCAN, IDS_QUICK_SCAN_DESCRIPTION},
                 {b.fullScan, IDB_FULL_SCAN, IDS_FULL_SCAN, IDS_FULL_SCAN_DESCRIPTION},
                 {b.customScan, IDB_CUSTOM_SCAN, IDS_CUSTOM_SCAN, IDS_CUSTOM_SCAN_DESCRIPTION}};
    for (const auto& scan : scans) {
        scan.button.SetFont(CaptionFont());
        scan.button.SetTextMode(1);
        scan.button.SetBitmap(scan.bitmap, RGB(0, 0, 0));
        scan.button.LightenHoverBackground();
        scan.button.SetWindowText(CString::Load(scan.caption));
        scan.button.SetDescription(CString::Load(scan.description));
    }
    b.fileRepository.SetTextMode(1);
    b.fileRepository.SetBitmap(IDB_FILE_REPOSITORY, RGB(0, 0, 0));
    b.fileRepository.LightenHoverBackground();
    b.fileRepository.SetWindowText(CString::Load(IDS_RECOVER_FILES));
    b.logo.SetBitmap(IDB_LOGO, RGB(255, 255, 255));
    b.logo.SetPressStyle(2);
    b.logo.SizeToImage();
    b.logo.SetDrawBorder(false);
}
