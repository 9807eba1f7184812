// CTervanLiveScannerApp: prepares the common controls and runs the main window (with a custom scan of
// the paths on the command line, if any); when it closes, the program ends.
#include "app/TervanLiveScannerDlg.h"
#include "dialogs/FileActionPrompts.h"
#include "framework/App.h"

#include <commctrl.h>

class CTervanLiveScannerApp : public CWinApp {
public:
    BOOL InitInstance() override {
        // Libraries loaded from now on come from the system folder, never from beside the program or
        // the current folder, where anyone may have put a DLL of a system library's name.
        ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
        ::SetDllDirectoryW(L"");
        INITCOMMONCONTROLSEX classes = {8, 0xFF};
        ::InitCommonControlsEx(&classes);
        AskFileActionQuestionsInWindows();
        CTervanLiveScannerDlg dialog;
        dialog.ScanAtStart(ScanTargetsFromCommandLine(::GetCommandLineW()));
        mainWnd = &dialog;
        dialog.DoModal();
        mainWnd = nullptr;
        return FALSE;
    }
};

CTervanLiveScannerApp theApp;
