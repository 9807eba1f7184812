// The "Restore point" browser over a quarantine of real containers on two drives.
#include "dialogs/FileRepositoryDlg.h"
#include "quarantine/FileActions.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"
#include "tests/quarantine/ContainerBuilder.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UiScript.h"
#include "tests/support/WindowTest.h"

#include <gtest/gtest.h>

#include <commctrl.h>

using namespace TestSupport;

namespace {

const int64_t Day1 = 1764000000;  // three different days, hours apart within each
const int64_t Day2 = Day1 + 3 * 86400;
const int64_t Day3 = Day1 + 7 * 86400;

std::vector<std::wstring> ComboItems(HWND combo) {
    std::vector<std::wstring> items;
    const int count = static_cast<int>(::SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        ::SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
        items.push_back(text);
    }
    return items;
}
void ChooseDate(HWND dialog, int index) {
    ::SendMessageW(::GetDlgItem(dialog, IDC_DATE_FILTER), CB_SETCURSEL, index, 0);
    ::SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_DATE_FILTER, CBN_SELCHANGE),
                   reinterpret_cast<LPARAM>(::GetDlgItem(dialog, IDC_DATE_FILTER)));
}
std::vector<std::wstring> Column(HWND dialog, int column) {
    HWND list = ::GetDlgItem(dialog, IDC_REPOSITORY_LIST);
    std::vector<std::wstring> texts;
    for (int row = 0; row < ListRows(list); ++row) texts.push_back(ListText(list, row, column));
    return texts;
}
std::wstring Day(int64_t time) { return FormatEntryTime(time, L"%d.%m.%Y"); }

class Repository : public ::testing::Test {
protected:
    Repository() { RemoveQuarantineFolders(); }
    ~Repository() override {
        CFileRestoreToFolderAction::SetFolderDialog(CFileRestoreToFolderAction::FolderDialog());
        RemoveQuarantineFolders();
    }
    // A container as another program or an earlier run left it, for a file under the scratch folder.
    std::wstring Put(wchar_t drive, const std::wstring& name, int64_t time, int32_t origin,
                     const std::string& content = "content") {
        static int serial = 0;
        const std::wstring original = std::wstring(1, drive) + files.Path().substr(1) + L"\\" + name;
        ContainerBuilder::Object object;
        object.storedPath = L"?" + original.substr(1);
        object.content = content;
        wchar_t container[80];
        swprintf(container, 80, L"%c:\\TER.QUAR\\00000000-0000-0000-0000-%012d.tqr", drive, ++serial);
        WriteFile(container, ContainerBuilder(L"Threat." + name, time, origin).Add(object).Bytes());
        return original;  // as shown: the drive letter in upper case
    }
    void Start() { manager.Start(); }
    INT_PTR Run(TervanLiveFileRepositoryDlg& dialog, UiScript& script) {
        const INT_PTR result = RunModal(dialog, [&] {
            script.Start(30000);
            EndModalAfter(35000);
        });
        EXPECT_TRUE(script.Done()) << "the script stopped at step " << script.StepsDone();
        return result;
    }

    ScratchFolder files;
    AvQuarantineManager manager{[] { return boost::shared_ptr<Quarantine::CQuarantine>(new Quarantine::CQuarantine(L"de")); }};
};

}  // namespace

TEST_F(Repository, AnEmptyQuarantineShowsOnlyAllRecords) {
    Start();
    TervanLiveFileRepositoryDlg dialog(nullptr, manager);
    UiScript script;
    script.Then([&] {
        HWND hwnd = dialog.GetSafeHwnd();
        EXPECT_EQ(L"Tervan! Scanner - Restore point", CWnd::FromHandle(hwnd)->GetWindowText());
        EXPECT_EQ(std::vector<std::wstring>{L"All records"}, ComboItems(::GetDlgItem(hwnd, IDC_DATE_FILTER)));
        EXPECT_EQ(0, ListRows(::GetDlgItem(hwnd, IDC_REPOSITORY_LIST)));
        EXPECT_EQ(L"Show quarantine", ItemText(hwnd, IDC_SHOW_QUARANTINE));
        EXPECT_EQ(L"File actions:", ItemText(hwnd, IDC_FILE_ACTIONS_LABEL));
        ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
        return true;
    });
    Run(dialog, script);
}

TEST_F(Repository, DaysAndTheFilterOfOtherProgramsEntries) {
    const std::wstring a = Put(L'D', L"a.exe", Day1 + 3600, 100), b = Put(L'E', L"b.exe", Day1 + 7200, 100);
    const std::wstring c = Put(L'D', L"c.exe", Day2, 100), d = Put(L'E', L"d.exe", Day3, 7);
    Start();
    TervanLiveFileRepositoryDlg dialog(nullptr, manager);
    UiScript script;
    HWND hwnd = nullptr, combo = nullptr;
    script
        .Then([&] {
            hwnd = dialog.GetSafeHwnd();
            combo = ::GetDlgItem(hwnd, IDC_DATE_FILTER);
            EXPECT_EQ((std::vector<std::wstring>{L"All records", Day(Day1), Day(Day2)}), ComboItems(combo))
                << "two entries of one day give one date; another program's entry is hidden";
            EXPECT_EQ((std::vector<std::wstring>{a, b, c}), Column(hwnd, 0));
            EXPECT_EQ(L"Threat.b.exe", Column(hwnd, 1)[1]);
            EXPECT_EQ(FormatEntryTime(Day1 + 7200, L"%H:%M %d.%m.%Y"), Column(hwnd, 2)[1]);
            ChooseDate(hwnd, 1);
            EXPECT_EQ((std::vector<std::wstring>{a, b}), Column(hwnd, 0));
            Click(hwnd, IDC_SHOW_QUARANTINE);
            return true;
        })
        .Then([&] { return ComboItems(combo).size() == 4; })
        .Then([&] {
            EXPECT_EQ(1, ::SendMessageW(combo, CB_GETCURSEL, 0, 0)) << "the chosen day stays chosen";
            EXPECT_EQ((std::vector<std::wstring>{a, b}), Column(hwnd, 0));
            ChooseDate(hwnd, 0);
            EXPECT_EQ((std::vector<std::wstring>{a, b, c, d}), Column(hwnd, 0));
            ChooseDate(hwnd, 3);
            EXPECT_EQ(std::vector<std::wstring>{d}, Column(hwnd, 0));
            Click(hwnd, IDC_SHOW_QUARANTINE);
            return true;
        })
        .Then([&] { return ComboItems(combo).size() == 3; })
        .Then([&] {
            EXPECT_EQ(0, ::SendMessageW(combo, CB_GETCURSEL, 0, 0)) << "a day that went away falls back to All records";
            EXPECT_EQ((std::vector<std::wstring>{a, b, c}), Column(hwnd, 0));
            ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
            return true;
        });
    Run(dialog, script);
}

TEST_F(Repository, RestoringRowsOneAndThreeOfFiveThenDeletingTheRest) {
    std::vector<std::wstring> paths;
    for (int i = 0; i < 5; ++i)
        paths.push_back(Put(i % 2 ? L'E' : L'D', L"r" + std::to_wstring(i) + L".exe", Day1 + i * 60, 100,
                            "restored " + std::to_string(i)));
    WriteFile(paths[3], "written since");
    Start();
    TervanLiveFileRepositoryDlg dialog(nullptr, manager);
    UiScript script;
    HWND hwnd = nullptr, list = nullptr;
    script
        .Then([&] {
            hwnd = dialog.GetSafeHwnd();
            list = ::GetDlgItem(hwnd, IDC_REPOSITORY_LIST);
            EXPECT_EQ(paths[1] + L"\nThe infected file as it was before it was deleted, 10 bytes", ListInfoTip(hwnd, IDC_REPOSITORY_LIST, 1));
            SetCheck(list, 1, true);
            SetCheck(list, 3, true);
            Click(hwnd, IDC_REPOSITORY_RESTORE);
            return true;
        })
        .Then([&] { return ListRows(list) == 4 && !dialog.IsBusy(); })
        .Then([&] {
            EXPECT_EQ((std::vector<std::wstring>{paths[0], paths[2], paths[4], paths[3]}), Column(hwnd, 0))
                << "the file the restore replaced is listed at once";
            EXPECT_EQ(L"(replaced by a restore)", ListText(list, 3, 1));
            EXPECT_EQ(paths[3] + L"\nThe file that a restore replaced at this place, 13 bytes", ListInfoTip(hwnd, IDC_REPOSITORY_LIST, 3));
            EXPECT_EQ(L"Restored to their original places: 2 file(s).", ItemText(hwnd, IDC_REPOSITORY_INFO));
            EXPECT_EQ("restored 1", ReadFile(paths[1]));
            EXPECT_EQ("restored 3", ReadFile(paths[3]));
            SetCheck(list, 0, true);
            SetCheck(list, 2, true);
            Click(hwnd, IDC_REPOSITORY_DELETE);
            return true;
        })
        .Then([&] { return MessageBoxText().find(L"Delete the 2 checked file(s)") == 0 && AnswerMessageBox(IDYES); })
        .Then([&] { return ListRows(list) == 2 && !dialog.IsBusy(); })
        .Then([&] {
            EXPECT_EQ((std::vector<std::wstring>{paths[2], paths[3]}), Column(hwnd, 0)) << "exactly the checked rows went";
            EXPECT_FALSE(FileExists(paths[0])) << "deleted, not restored";
            SetCheck(list, 0, true);
            Click(hwnd, IDC_REPOSITORY_DELETE);
            return true;
        })
        .Then([&] { return !MessageBoxText().empty() && AnswerMessageBox(IDNO); })
        .Then([&] {
            EXPECT_EQ(2, ListRows(list)) << "a delete the user did not confirm";
            ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
            return true;
        });
    Run(dialog, script);
}

TEST_F(Repository, AFailedFirstOfThreeStaysCheckedAndIsReported) {
    const std::wstring first = Put(L'D', L"blocked\\first.exe", Day1, 100);
    const std::wstring second = Put(L'D', L"second.exe", Day1 + 1, 100), third = Put(L'E', L"third.exe", Day1 + 2, 100);
    WriteFile(files / L"blocked", "a file where the first file's folder must be");
    Start();
    TervanLiveFileRepositoryDlg dialog(nullptr, manager);
    UiScript script;
    HWND hwnd = nullptr, list = nullptr;
    std::wstring report;
    script
        .Then([&] {
            hwnd = dialog.GetSafeHwnd();
            list = ::GetDlgItem(hwnd, IDC_REPOSITORY_LIST);
            Click(hwnd, IDC_REPOSITORY_SELECT_ALL);
            return true;
        })
        .Then([&] { return IsChecked(list, 2); })
        .Then([&] {
            Click(hwnd, IDC_REPOSITORY_RESTORE);
            return true;
        })
        .Then([&] { return !(report = MessageBoxText()).empty(); })
        .Then([&] {
            EXPECT_EQ(1, ListRows(list));
            EXPECT_EQ(first, ListText(list, 0, 0));
            EXPECT_TRUE(IsChecked(list, 0)) << "the failed row stays checked";
            EXPECT_TRUE(FileExists(second) && FileExists(third));
            return AnswerMessageBox(IDOK);
        })
        .Then([&] {
            ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
            return true;
        });
    Run(dialog, script);
    EXPECT_NE(std::wstring::npos, report.find(first + L": the folder " + files / L"blocked" + L" cannot be created"))
        << Narrow(report);
}

TEST_F(Repository, SaveAsRestoresIntoTheChosenFolderAndAsksEvenWithNothingChecked) {
    const std::wstring a = Put(L'D', L"a.exe", Day1, 100, "A"), b = Put(L'E', L"sub\\b.exe", Day2, 100, "B");
    Start();
    int asked = 0;
    CFileRestoreToFolderAction::SetFolderDialog([&](HWND owner, std::wstring& chosen) {
        ++asked;
        EXPECT_NE(nullptr, owner);
        chosen = L"E:\\saved";
        return true;
    });
    TervanLiveFileRepositoryDlg dialog(nullptr, manager);
    UiScript script;
    HWND hwnd = nullptr, list = nullptr;
    script
        .Then([&] {
            hwnd = dialog.GetSafeHwnd();
            list = ::GetDlgItem(hwnd, IDC_REPOSITORY_LIST);
            Click(hwnd, IDC_REPOSITORY_SAVE_AS);
            return true;
        })
        .Then([&] { return asked == 1 && MessageBoxText() == L"No file is checked. Check the files you want to handle first."; })
        .Then([&] { return AnswerMessageBox(IDOK); })
        .Then([&] {
            EXPECT_EQ(2, ListRows(list)) << "nothing checked: nothing changes";
            Click(hwnd, IDC_REPOSITORY_SELECT_ALL);
            return true;
        })
        .Then([&] { return IsChecked(list, 1); })
        .Then([&] {
            Click(hwnd, IDC_REPOSITORY_SAVE_AS);
            return true;
        })
        .Then([&] { return ListRows(list) == 0; })
        .Then([&] {
            EXPECT_EQ("A", ReadFile(L"E:\\saved\\a.exe"));
            EXPECT_EQ("B", ReadFile(L"E:\\saved\\b.exe"));
            EXPECT_FALSE(FileExists(a) || FileExists(b)) << "not at their original places";
            ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
            return true;
        });
    Run(dialog, script);
    EXPECT_EQ(2, asked);
    RemoveTree(L"E:\\saved");
}

namespace {

bool menuWasShown = false;

// Runs inside the menu's own loop: notes the menu and ends it.
void CALLBACK EndTheMenu(HWND, UINT, UINT_PTR timer, DWORD) {
    ::KillTimer(nullptr, timer);
    HWND menu = ::FindWindowW(L"#32768", nullptr);
    menuWasShown = menu && ::IsWindowVisible(menu);
    ::EndMenu();
}

}  // namespace

TEST_F(Repository, TheContextMenuNeedsACheckedRow) {
    Put(L'D', L"a.exe", Day1, 100);
    Start();
    TervanLiveFileRepositoryDlg dialog(nullptr, manager);
    UiScript script;
    script.Then([&] {
        HWND hwnd = dialog.GetSafeHwnd(), list = ::GetDlgItem(hwnd, IDC_REPOSITORY_LIST);
        NMITEMACTIVATE click = {};
        click.hdr.hwndFrom = list;
        click.hdr.idFrom = IDC_REPOSITORY_LIST;
        click.hdr.code = NM_RCLICK;
        LVITEMW selected = {};
        selected.stateMask = selected.state = LVIS_SELECTED;
        ::SendMessageW(list, LVM_SETITEMSTATE, 0, reinterpret_cast<LPARAM>(&selected));
        menuWasShown = false;
        ::SetTimer(nullptr, 0, 300, &EndTheMenu);
        EXPECT_EQ(0, ::SendMessageW(hwnd, WM_NOTIFY, IDC_REPOSITORY_LIST, reinterpret_cast<LPARAM>(&click)));
        PumpFor(500);
        EXPECT_FALSE(menuWasShown) << "a selected but unchecked row shows no menu";
        SetCheck(list, 0, true);
        ::SetTimer(nullptr, 0, 300, &EndTheMenu);
        ::SendMessageW(hwnd, WM_NOTIFY, IDC_REPOSITORY_LIST, reinterpret_cast<LPARAM>(&click));
        EXPECT_TRUE(menuWasShown);
        EXPECT_EQ(1, ListRows(list)) << "a dismissed menu runs nothing";
        ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
        return true;
    });
    Run(dialog, script);
}
