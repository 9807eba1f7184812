// The window layer: modal runs and their results, exceptions stopped at the dialog procedure,
// subclassed controls and the string table.
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/String.h"
#include "resources/resource.h"
#include "tests/support/WindowTest.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace TestSupport;

namespace {

class ProbeDialog : public CDialog {
public:
    ProbeDialog() : CDialog(IDD_DELETE_FILES, nullptr) {}
    std::string reported;
    int selectAllClicks = 0;
    CButton selectAll;

protected:
    void DoDataExchange() override { selectAll.SubclassDlgItem(IDC_DELETE_SELECT_ALL, this); }
    bool OnCommand(UINT id, UINT code, HWND) override {
        if (id == IDC_DELETE_SELECT_ALL) {
            ++selectAllClicks;
            return true;
        }
        if (id == IDC_DELETE_DESELECT) throw std::runtime_error("handler failed");
        return false;
    }
    void ReportException(const char* what) override { reported = what; }
};

}  // namespace

TEST(ModalDialogs, StandardCommandsEndWithTheirResults) {
    const DWORD start = ::GetTickCount();
    ProbeDialog ok;
    EXPECT_EQ(IDOK, RunModal(ok, [&] { ok.SendMessage(WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED)); }));
    ProbeDialog escape;
    EXPECT_EQ(IDCANCEL, RunModal(escape, [&] {
                  ::PostMessageW(escape.GetDlgItem(IDC_DELETE_SELECT_ALL), WM_KEYDOWN, VK_ESCAPE, 0);
                  EndModalAfter(2000);
              }));
    ProbeDialog closed;
    EXPECT_EQ(IDCANCEL, RunModal(closed, [&] {
                  closed.PostMessage(WM_CLOSE);
                  EndModalAfter(2000);
              }));
    EXPECT_LT(::GetTickCount() - start, 1500u) << "Escape and Close ended their dialogs themselves";
}

TEST(ModalDialogs, ExceptionsStopAtTheDialogProcedure) {
    ProbeDialog dialog;
    RunModal(dialog, [&] {
        dialog.SendMessage(WM_COMMAND, MAKEWPARAM(IDC_DELETE_DESELECT, BN_CLICKED),
                           reinterpret_cast<LPARAM>(dialog.GetDlgItem(IDC_DELETE_DESELECT)));
        EXPECT_EQ("handler failed", dialog.reported);
        EXPECT_TRUE(dialog.IsRunning()) << "the dialog goes on";
        ::SendMessageW(dialog.selectAll, BM_CLICK, 0, 0);
        EXPECT_EQ(1, dialog.selectAllClicks);
        EXPECT_EQ(&dialog.selectAll, CWnd::FromHandle(dialog.GetDlgItem(IDC_DELETE_SELECT_ALL)));
    });
    EXPECT_EQ(nullptr, dialog.selectAll.GetSafeHwnd()) << "the wrapper lets go when its window is destroyed";
}

TEST(Strings, TableEntriesAndFormats) {
    EXPECT_EQ(L"Tervan! Scanner", CString::Load(IDS_APP_TITLE));
    EXPECT_EQ(L"Virus base: 12345 records",
              CString::FormatId(IDS_VIRUS_BASE, CString::FormatId(IDS_RECORDS, 12345).c_str()));
    EXPECT_EQ(L"Exhausted time:    01:02:03", CString::FormatId(IDS_EXHAUSTED_TIME, L"01:02:03"));
    EXPECT_EQ(L"57%", CString::Format(L"%i%%", 57));
    EXPECT_EQ(L"", CString::Load(138)) << "no entry";
    const CString explanation = CString::Load(IDS_REPOSITORY_EXPLANATION);
    EXPECT_NE(std::wstring::npos, explanation.find(L"any file. \\ nPlease careful!"));
    EXPECT_EQ(std::wstring(5000, L'x'), CString::Format(L"%s", std::wstring(5000, L'x').c_str()));
}
