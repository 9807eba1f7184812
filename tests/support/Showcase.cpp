// tervan_showcase: opens one of the program's dialogs on its own, for pictures and for trying it out.
//   tervan_showcase buttons       the main window's five picture buttons
#include "framework/App.h"
#include "tests/support/ButtonsDialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <string>

namespace {

class ShowcaseApp : public CWinApp {
public:
    BOOL InitInstance() override {
        INITCOMMONCONTROLSEX classes = {sizeof(classes), 0xFF};
        ::InitCommonControlsEx(&classes);
        int count = 0;
        LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
        const std::wstring view = count > 1 ? arguments[1] : L"";
        ::LocalFree(arguments);
        if (view == L"buttons") {
            TestSupport::ButtonsDialog dialog;
            dialog.DoModal();
        } else {
            AppMessageBox(L"usage: tervan_showcase buttons", MB_OK);
        }
        return FALSE;
    }
};

ShowcaseApp app;

}  // namespace
