// The custom-scan folder selection, clicked through like a user would, over the sandbox's drives.
#include "dialogs/SelectFolderDlg.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"
#include "scan/EngineManager.h"
#include "tests/support/Sandbox.h"
#include "tests/support/TreeClicks.h"
#include "tests/support/UiScript.h"
#include "tests/support/WindowTest.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

// The items of the scratch folder on a drive: the drive clicked open, the folder found below it.
struct Scratch {
    HWND tree;
    HTREEITEM drive, folder;
};

class FolderSelection : public ::testing::Test {
protected:
    FolderSelection() : root(L'E') {
        WriteFile(root / L"a\\a1.exe", "a1");
        WriteFile(root / L"a\\a2.exe", "a2");
        WriteFile(root / L"b\\b1.exe", "b1");
        WriteFile(root / L"c\\c1.exe", "c1");
        WriteFile(root / L"file.exe", "TVE:DETECT 1 Checked.File\n");
    }
    // Runs the dialog; the body gets the tree with the scratch folder found (and read) below E:.
    INT_PTR Run(const std::function<void(TervanSelectFolderDlg&, Scratch&)>& body) {
        return RunModal(dialog, [&] {
            Scratch s;
            s.tree = dialog.GetDlgItem(IDC_FOLDER_TREE);
            s.drive = FindDrive(s.tree, L'E');
            ASSERT_NE(nullptr, s.drive);
            ClickLabel(s.tree, s.drive);
            s.folder = FindTreeItem(s.tree, s.drive, root.Path().substr(3));
            ASSERT_NE(nullptr, s.folder);
            ClickLabel(s.tree, s.folder);  // reads it and expands it
            body(dialog, s);
        });
    }
    std::wstring Full(const std::wstring& relative) { return root / relative; }

    ScratchFolder root;
    TervanSelectFolderDlg dialog{nullptr};
};

}  // namespace

TEST_F(FolderSelection, NothingCheckedIsSaidAndTheDrivesAreListed) {
    std::wstring said;
    UiScript script;  // outlives the body: it goes on in the dialog's loop
    EXPECT_EQ(IDCANCEL, Run([&](TervanSelectFolderDlg& d, Scratch& s) {
        EXPECT_EQ(L"Start scanning", ItemText(d.GetSafeHwnd(), IDOK));
        EXPECT_EQ(L"File types: ", ItemText(d.GetSafeHwnd(), IDC_FILE_TYPES_LABEL));
        EXPECT_EQ(nullptr, FindDrive(s.tree, L'A'));
        EXPECT_NE(nullptr, FindDrive(s.tree, L'B')) << "B: is listed when present";
        EXPECT_NE(nullptr, FindDrive(s.tree, L'C'));
        EXPECT_EQ(L"Tervan! Scanner", CWnd::FromHandle(d.GetSafeHwnd())->GetWindowText());
        Click(d.GetSafeHwnd(), IDOK);
        script.Then([&] { return !(said = MessageBoxText()).empty() && AnswerMessageBox(IDOK); })
            .Then([&] { return MessageBoxText().empty(); })
            .Then([&] {
                EXPECT_TRUE(d.IsRunning()) << "the dialog stays for the user to tick something";
                d.PostMessage(WM_CLOSE);
                return true;
            });
        script.Start(20000);
        EndModalAfter(25000);
    }));
    EXPECT_EQ(L"Nothing is ticked. Tick the drives, folders or files to scan, then start scanning.", said);
    EXPECT_TRUE(dialog.Result().empty());
    EXPECT_FALSE(dialog.AllFileTypes());
}

TEST_F(FolderSelection, ACheckedDriveIsJustItsRootAndLaterChildrenArriveChecked) {
    Run([&](TervanSelectFolderDlg& d, Scratch& s) {
        ASSERT_TRUE(ClickCheckBox(s.tree, s.drive));
        EXPECT_TRUE(TreeChecked(s.tree, s.folder));
        HTREEITEM a = FindTreeItem(s.tree, s.folder, L"a");
        EXPECT_TRUE(TreeChecked(s.tree, a));
        ClickLabel(s.tree, a);
        HTREEITEM a1 = FindTreeItem(s.tree, a, L"a1.exe");
        ASSERT_NE(nullptr, a1);
        EXPECT_TRUE(TreeChecked(s.tree, a1)) << "read below a checked drive: checked";
        EXPECT_TRUE(TreeBold(s.tree, s.drive));
        ::SendMessageW(::GetDlgItem(d.GetSafeHwnd(), IDC_FILE_TYPES), CB_SETCURSEL, 1, 0);
        Click(d.GetSafeHwnd(), IDOK);
        EndModalAfter(3000);
    });
    EXPECT_EQ(std::list<std::wstring>{L"E:\\"}, dialog.Result());
    EXPECT_TRUE(dialog.AllFileTypes());
}

TEST_F(FolderSelection, UncheckingAFolderBelowACheckedDrive) {
    ScratchFolder sibling(L'E');  // what stays ticked on the drive
    std::list<std::wstring> expected;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(L"E:\\*", &data);
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L".." || L"E:\\" + name == root.Path()) continue;
        expected.push_back(L"E:\\" + name + ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? L"\\" : L""));
    } while (::FindNextFileW(find, &data));
    ::FindClose(find);
    expected.sort();
    Run([&](TervanSelectFolderDlg& d, Scratch& s) {
        ASSERT_TRUE(ClickCheckBox(s.tree, s.drive));
        ASSERT_TRUE(ClickCheckBox(s.tree, s.folder));
        EXPECT_FALSE(TreeChecked(s.tree, s.folder));
        EXPECT_FALSE(TreeChecked(s.tree, FindTreeItem(s.tree, s.folder, L"a"))) << "its subtree too";
        EXPECT_FALSE(TreeChecked(s.tree, s.drive)) << "not every child of the drive is checked";
        EXPECT_EQ(!expected.empty(), TreeBold(s.tree, s.drive)) << "the drive keeps its marker";
        Click(d.GetSafeHwnd(), IDOK);
        EndModalAfter(3000);
    });
    EXPECT_EQ(expected, dialog.Result());
}

TEST_F(FolderSelection, ChildrenCheckedOneByOneAndOneUncheckedAgain) {
    Run([&](TervanSelectFolderDlg& d, Scratch& s) {
        HTREEITEM a = FindTreeItem(s.tree, s.folder, L"a"), b = FindTreeItem(s.tree, s.folder, L"b");
        HTREEITEM c = FindTreeItem(s.tree, s.folder, L"c"), file = FindTreeItem(s.tree, s.folder, L"file.exe");
        ASSERT_TRUE(a && b && c && file);
        for (HTREEITEM item : {a, b, c}) ClickCheckBox(s.tree, item);
        EXPECT_FALSE(TreeChecked(s.tree, s.folder));
        EXPECT_TRUE(TreeBold(s.tree, s.folder));
        EXPECT_TRUE(TreeBold(s.tree, s.drive));
        ClickCheckBox(s.tree, file);
        EXPECT_TRUE(TreeChecked(s.tree, s.folder)) << "every child checked: the folder is checked";
        ClickCheckBox(s.tree, b);
        EXPECT_FALSE(TreeChecked(s.tree, s.folder));
        EXPECT_TRUE(TreeBold(s.tree, s.folder)) << "unchecked, but still marked";
        Click(d.GetSafeHwnd(), IDOK);
        EndModalAfter(3000);
    });
    EXPECT_EQ((std::list<std::wstring>{Full(L"a\\"), Full(L"c\\"), Full(L"file.exe")}), dialog.Result())
        << "a checked file comes without a trailing backslash";
}

TEST_F(FolderSelection, EveryChildCheckedGivesOnlyTheFolder) {
    ScratchFolder sibling(L'E');  // so that the drive itself does not become fully checked
    Run([&](TervanSelectFolderDlg& d, Scratch& s) {
        for (const wchar_t* name : {L"a", L"b", L"c", L"file.exe"}) ClickCheckBox(s.tree, FindTreeItem(s.tree, s.folder, name));
        Click(d.GetSafeHwnd(), IDOK);
        EndModalAfter(3000);
    });
    EXPECT_EQ(std::list<std::wstring>{root.Path() + L"\\"}, dialog.Result());
}

TEST_F(FolderSelection, LabelsExpandAndCollapseAndEmptySpaceDoesNothing) {
    Run([&](TervanSelectFolderDlg& d, Scratch& s) {
        HTREEITEM a = FindTreeItem(s.tree, s.folder, L"a");
        EXPECT_EQ(nullptr, FindTreeItem(s.tree, a, L"a1.exe")) << "not read before a click";
        ClickLabel(s.tree, a);
        EXPECT_TRUE(TreeExpanded(s.tree, a));
        EXPECT_NE(nullptr, FindTreeItem(s.tree, a, L"a1.exe"));
        ClickLabel(s.tree, a);
        EXPECT_FALSE(TreeExpanded(s.tree, a));

        WriteFile(Full(L"a\\a3.exe"), "new");
        ::DeleteFileW(Full(L"a\\a1.exe").c_str());
        ClickLabel(s.tree, a);
        EXPECT_NE(nullptr, FindTreeItem(s.tree, a, L"a3.exe")) << "new files appear after the next click";
        EXPECT_NE(nullptr, FindTreeItem(s.tree, a, L"a1.exe")) << "deleted ones stay";
        EXPECT_EQ(FindTreeItem(s.tree, a, L"a3.exe"),
                  reinterpret_cast<HTREEITEM>(::SendMessageW(s.tree, TVM_GETNEXTITEM, TVGN_NEXT,
                                                             reinterpret_cast<LPARAM>(FindTreeItem(s.tree, a, L"a2.exe")))))
            << "appended at the end";

        HTREEITEM selected = TreeView_GetSelection(s.tree);
        const RECT client = CWnd::FromHandle(s.tree) ? CWnd::FromHandle(s.tree)->GetClientRect() : RECT{};
        ::SendMessageW(s.tree, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(client.right - 5, client.bottom - 5));
        EXPECT_EQ(selected, TreeView_GetSelection(s.tree)) << "a press on empty space does nothing";
        ::PostMessageW(d.GetSafeHwnd(), WM_CLOSE, 0, 0);
        EndModalAfter(3000);
    });
    EXPECT_TRUE(dialog.Result().empty());
}

TEST_F(FolderSelection, EveryWayOfTickingAndOpeningEndsAlike) {
    Run([&](TervanSelectFolderDlg& d, Scratch& s) {
        auto key = [&](WPARAM key) {
            ::SendMessageW(s.tree, WM_KEYDOWN, key, 0);
            if (key == VK_SPACE) ::SendMessageW(s.tree, WM_CHAR, L' ', 0);
            ::SendMessageW(s.tree, WM_KEYUP, key, 0);
            PumpFor(50);
        };
        // The space bar on a folder never opened: ticked like a click, its files with it, its parents marked.
        HTREEITEM b = FindTreeItem(s.tree, s.folder, L"b");
        ::SendMessageW(s.tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(b));
        key(VK_SPACE);
        EXPECT_TRUE(TreeChecked(s.tree, b) && TreeBold(s.tree, b));
        HTREEITEM b1 = FindTreeItem(s.tree, b, L"b1.exe");
        ASSERT_NE(nullptr, b1) << "its files were read";
        EXPECT_TRUE(TreeChecked(s.tree, b1));
        EXPECT_TRUE(TreeBold(s.tree, s.folder));
        // Right arrow opens a folder never clicked, with its files in it.
        HTREEITEM c = FindTreeItem(s.tree, s.folder, L"c");
        ::SendMessageW(s.tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(c));
        key(VK_RIGHT);
        EXPECT_TRUE(TreeExpanded(s.tree, c));
        EXPECT_NE(nullptr, FindTreeItem(s.tree, c, L"c1.exe"));
        // A double click on a check box: two ticks, and the mark always agrees with the tick.
        HTREEITEM a = FindTreeItem(s.tree, s.folder, L"a");
        ASSERT_TRUE(ClickCheckBox(s.tree, a, true));
        EXPECT_FALSE(TreeChecked(s.tree, a));
        EXPECT_EQ(TreeChecked(s.tree, a), TreeBold(s.tree, a));
        ASSERT_TRUE(ClickCheckBox(s.tree, a));
        EXPECT_TRUE(TreeChecked(s.tree, a) && TreeBold(s.tree, a));
        Click(d.GetSafeHwnd(), IDOK);
        EndModalAfter(3000);
    });
    // What is ticked is what is scanned.
    EXPECT_EQ((std::list<std::wstring>{Full(L"a\\"), Full(L"b\\")}), dialog.Result());
}

TEST_F(FolderSelection, ACheckedFileIsReallyScanned) {
    Run([&](TervanSelectFolderDlg& d, Scratch& s) {
        ClickCheckBox(s.tree, FindTreeItem(s.tree, s.folder, L"file.exe"));
        Click(d.GetSafeHwnd(), IDOK);
        EndModalAfter(3000);
    });
    ASSERT_EQ(1u, dialog.Result().size());
    AvQuarantineManager quarantine([] { return boost::shared_ptr<Quarantine::CQuarantine>(new Quarantine::CQuarantine(L"")); });
    AvEngineManager engine(quarantine);
    engine.InitEngine(EngineFolder(L"test"));
    boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Custom));
    task->targets = dialog.Result();
    std::vector<std::wstring> threats;
    engine.threatHandled.connect([&](const AvCore::Threat* t, bool, bool) { threats.push_back(t->name); });
    bool done = false;
    engine.finished.connect([&](bool) { done = true; });
    ASSERT_TRUE(engine.StartScan(task));
    for (int i = 0; i < 1000 && !done; ++i) ::Sleep(10);
    engine.Stop();
    EXPECT_EQ(1, task->stats.checked);
    EXPECT_EQ(std::vector<std::wstring>{L"Checked.File"}, threats);
}
