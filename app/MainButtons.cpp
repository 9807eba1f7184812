// Setting up the main window's picture buttons.
#include "app/MainButtons.h"

#include "framework/Gdi.h"
#include "framework/String.h"
#include "resources/resource.h"

#include <map>

namespace {

// One font per size asked for, live until the process ends (windows may still use an older size).
HFONT FontAt(std::map<int, CFont>& fonts, int pixelsAt96, const wchar_t* face, int dpi) {
    CFont& font = fonts[dpi];
    if (!font.Get()) font.CreateFont(ScaleToDpi(pixelsAt96, dpi), FW_BOLD, face);
    return font.Get();
}

HFONT CaptionFont(int dpi) {
    static std::map<int, CFont> fonts;
    return FontAt(fonts, 18, L"Verdana", dpi);
}

}  // namespace

HFONT MainTitleFont(int dpi) {
    static std::map<int, CFont> fonts;
    return FontAt(fonts, 28, L"Times New Roman", dpi);
}

void SetUpMainButtons(const MainButtons& b, int dpi) {
    const struct {
        CDoubleLineTextButton& button;
        UINT bitmap, caption, description;
    } scans[] = {{b.quickScan, IDB_QUICK_SCAN, IDS_QUICK_SCAN, IDS_QUICK_SCAN_DESCRIPTION},
                 {b.fullScan, IDB_FULL_SCAN, IDS_FULL_SCAN, IDS_FULL_SCAN_DESCRIPTION},
                 {b.customScan, IDB_CUSTOM_SCAN, IDS_CUSTOM_SCAN, IDS_CUSTOM_SCAN_DESCRIPTION}};
    for (const auto& scan : scans) {
        scan.button.SetFont(CaptionFont(dpi));
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
