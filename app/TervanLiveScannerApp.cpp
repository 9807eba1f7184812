// CTervanLiveScannerApp: prepares the common controls and runs the main window; when it closes, the
// program ends.
#include "app/TervanLiveScannerDlg.h"
#include "framework/App.h"

#include <commctrl.h>

class CTervanLiveScannerApp : public CWinApp {
public:
    BOOL InitInstance() override {
        INITCOMMONCONTROLSEX classes = {8, 0xFF};
        ::InitCommonControlsEx(&classes);
        CTervanLiveScannerDlg dialog;
        mainWnd = &dialog;
        dialog.DoModal();
        mainWnd = nullptr;
        return FALSE;
    }
};

CTervanLiveScannerApp theApp;
