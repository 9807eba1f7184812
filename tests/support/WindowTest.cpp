// Running dialogs in tests.
#include "tests/support/WindowTest.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <vector>

namespace TestSupport {
namespace {

struct Pending {
    CDialog* dialog;
    std::function<void()> body;
};
std::vector<Pending> pending;
int endDelay = 0;
CDialog* ending = nullptr;
UINT_PTR endTimer = 0;

void CALLBACK EndNow(HWND, UINT, UINT_PTR timer, DWORD) {
    ::KillTimer(nullptr, timer);
    endTimer = 0;
    if (ending && ending->IsRunning()) ending->EndDialog(IDCANCEL);
    ending = nullptr;
}

void CALLBACK RunPending(HWND, UINT, UINT_PTR timer, DWORD) {
    ::KillTimer(nullptr, timer);
    if (pending.empty()) return;
    Pending next = pending.back();
    pending.pop_back();
    endDelay = 0;
    next.body();
    if (!next.dialog->IsRunning()) return;
    if (endDelay > 0) {
        ending = next.dialog;
        endTimer = ::SetTimer(nullptr, 0, static_cast<UINT>(endDelay), &EndNow);
    } else {
        next.dialog->EndDialog(IDCANCEL);
    }
}

}  // namespace

INT_PTR RunModal(CDialog& dialog, const std::function<void()>& body) {
    static const bool controlsReady = [] {
        INITCOMMONCONTROLSEX classes = {sizeof(classes), 0xFF};
        return ::InitCommonControlsEx(&classes) != FALSE;
    }();
    (void)controlsReady;
    bool ran = false;
    pending.push_back({&dialog, [&] {
                           ran = true;
                           body();
                       }});
    ::SetTimer(nullptr, 0, 50, &RunPending);
    const INT_PTR result = dialog.DoModal();
    if (endTimer) ::KillTimer(nullptr, endTimer);  // a late end must not reach the next dialog
    endTimer = 0;
    ending = nullptr;
    if (!ran) {
        pending.clear();
        ADD_FAILURE() << "the dialog did not come up (DoModal gave " << result << ", error " << ::GetLastError() << ")";
    }
    return result;
}

void EndModalAfter(int milliseconds) { endDelay = milliseconds; }

void PumpFor(int milliseconds) {
    const DWORD end = ::GetTickCount() + static_cast<DWORD>(milliseconds);
    do {
        PumpMessages();
        ::Sleep(5);
    } while (static_cast<int>(end - ::GetTickCount()) > 0);
    PumpMessages();
}

}  // namespace TestSupport
