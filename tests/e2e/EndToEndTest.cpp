// The whole program, started as a user starts it and driven from this separate process.
#include "tests/e2e/RemoteWindows.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

// Control ids of the program's dialogs.
enum {
    QuickScan = 1000, FullScan = 1001, Repository = 1004, CoreVersion = 1005, BaseSize = 1006, Abort = 1008,
    ThreatList = 1009, CurrentObject = 1012, DeleteSelected = 1019, UntreatedList = 1020, RestoreButton = 1022,
    RepositoryList = 1023
};

// The packaged program in a folder of its own on D:, with the test engine in its "Bases" (or without).
class EndToEnd : public ::testing::Test {
protected:
    EndToEnd() : app(L'D'), files(L'D'), others(L'E') {
        RemoveQuarantineFolders();
        ::CopyFileW((ExecutableFolder() + L"..\\dist\\TervanScanner\\TervanScanner.exe").c_str(),
                    (app / L"TervanScanner.exe").c_str(), FALSE);
    }
    ~EndToEnd() override { RemoveQuarantineFolders(); }
    void WithTestEngine() {
        ::CreateDirectoryW((app / L"Bases").c_str(), nullptr);
        ::CopyFileW((EngineFolder(L"test") + L"\\ScanMain.DLL").c_str(), (app / L"Bases\\ScanMain.DLL").c_str(), FALSE);
    }
    std::wstring Program() { return app / L"TervanScanner.exe"; }
    int RowOf(RemoteProgram& program, HWND list, const std::wstring& text) {
        for (int row = 0; row < program.ListRows(list); ++row)
            if (program.ListText(list, row, 0) == text) return row;
        return -1;
    }

    ScratchFolder app, files, others;
};

// The window's "Update bases", with the reference engine and the tests' mirror (tests/update/mirror.sh).
class BaseUpdates : public EndToEnd {
protected:
    void WithReferenceEngine(const std::string& mirror) {
        ::CopyFileW((ExecutableFolder() + L"..\\dist\\TervanScanner\\tervscan.exe").c_str(), (app / L"tervscan.exe").c_str(), FALSE);
        ::CreateDirectoryW((app / L"Bases").c_str(), nullptr);
        ::CopyFileW((ExecutableFolder() + L"Bases\\ScanMain.DLL").c_str(), (app / L"Bases\\ScanMain.DLL").c_str(), FALSE);
        ::CopyFileW((ExecutableFolder() + L"..\\update-mirror\\mirror\\local\\daily-1.cvd").c_str(), (app / L"Bases\\daily.cvd").c_str(),
                    FALSE);
        WriteFile(app / L"Bases\\refengine.ini", "[update]\r\nmirror=" + mirror + "\r\nbases=daily\r\n");
    }
    enum { UpdateBasesCommand = 0x0020 };  // in the window's system menu
};

}  // namespace

TEST_F(EndToEnd, AQuickScanCuresDeletesAndTheRestorePointBringsFilesBack) {
    WithTestEngine();
    const std::wstring curable = files / L"curable.exe", stubborn = files / L"stubborn.dll", other = others / L"other.exe";
    WriteFile(curable, "header\nTVE:DETECT 1 E2E.Curable curable\n");
    const std::string stubbornContent = "TVE:DETECT 2 E2E.Stubborn\nbody bytes";
    WriteFile(stubborn, stubbornContent);
    WriteFile(other, "TVE:DETECT 1 E2E.Other\n");
    WriteFile(files / L"clean.exe", "clean");

    RemoteProgram program(Program(), L"Tervan! Scanner");
    HWND main = program.WaitForDialogWith(QuickScan, L"Button");
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(L"Antivirus core: 1.2.3.4", DialogItemText(main, CoreVersion));
    EXPECT_EQ(L"Virus base: 12345 records", DialogItemText(main, BaseSize));

    PressButton(main, QuickScan);
    HWND progress = program.WaitForWindow(L"Tervan! Scanner - Quick scan", 30000, true);
    ASSERT_NE(nullptr, progress);
    HWND deletion = program.WaitForDialogWith(UntreatedList, L"SysListView32", 120000);
    ASSERT_NE(nullptr, deletion) << "the untreated files are offered by themselves";
    EXPECT_FALSE(::IsWindowVisible(main));
    HWND untreated = ::GetDlgItem(deletion, UntreatedList);
    ASSERT_EQ(2, program.ListRows(untreated));
    const int stubbornRow = RowOf(program, untreated, stubborn);
    ASSERT_GE(stubbornRow, 0);
    EXPECT_GE(RowOf(program, untreated, other), 0);
    program.SetListCheck(untreated, stubbornRow, true);
    PressButton(deletion, DeleteSelected);
    ASSERT_TRUE(WaitUntil([&] { return program.ListRows(untreated) == 1; }));
    EXPECT_FALSE(FileExists(stubborn));
    ::PostMessageW(deletion, WM_CLOSE, 0, 0);

    ASSERT_TRUE(WaitUntil([&] { return ::IsWindowVisible(progress) != FALSE; }));
    EXPECT_EQ(L"Scanning finished", DialogItemText(progress, CurrentObject));
    HWND threats = ::GetDlgItem(progress, ThreatList);
    const int curedRow = RowOf(program, threats, curable), deletedRow = RowOf(program, threats, stubborn);
    ASSERT_GE(curedRow, 0);
    ASSERT_GE(deletedRow, 0);
    EXPECT_EQ(L"Cured", program.ListText(threats, curedRow, 2));
    EXPECT_EQ(L"E2E.Curable", program.ListText(threats, curedRow, 1));
    EXPECT_EQ(L"Deleted", program.ListText(threats, deletedRow, 2));
    EXPECT_EQ(std::string::npos, ReadFile(curable).find("TVE:DETECT")) << "cured on disk";
    PressButton(progress, Abort);  // reads "Close" now
    ASSERT_TRUE(WaitUntil([&] { return ::IsWindowVisible(main) != FALSE; }));

    PressButton(main, Repository);
    HWND repository = program.WaitForWindow(L"Tervan! Scanner - Restore point", 30000, true);
    ASSERT_NE(nullptr, repository);
    HWND entries = ::GetDlgItem(repository, RepositoryList);
    ASSERT_TRUE(WaitUntil([&] { return program.ListRows(entries) == 2; }));
    const int entry = RowOf(program, entries, stubborn);
    ASSERT_GE(entry, 0) << "the deleted file was copied into the quarantine first";
    EXPECT_GE(RowOf(program, entries, curable), 0) << "and so was the cured one, before its cure";
    program.SetListCheck(entries, entry, true);
    PressButton(repository, RestoreButton);
    ASSERT_TRUE(WaitUntil([&] { return program.ListRows(entries) == 1; }));
    EXPECT_EQ(stubbornContent, ReadFile(stubborn)) << "restored byte for byte to its place";
    ::PostMessageW(repository, WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitUntil([&] { return ::IsWindowEnabled(main) != FALSE; }));
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, program.WaitForExit(30000));
}

TEST_F(EndToEnd, ADropOfTwoFilesAndAFolderRunsOneCustomScan) {
    WithTestEngine();
    const std::wstring text = files / L"a.txt", exe = files / L"b.exe", folder = files / L"dir";
    WriteFile(text, "TVE:DETECT 1 Drop.Text\n");
    WriteFile(exe, "TVE:DETECT 1 Drop.Exe\n");
    WriteFile(folder + L"\\c.exe", "TVE:DETECT 1 Drop.Folder.Exe\n");
    WriteFile(folder + L"\\d.txt", "TVE:DETECT 1 Drop.Folder.Text\n");
    WriteFile(files / L"not-dropped.exe", "TVE:DETECT 1 Not.Dropped\n");

    RemoteProgram program(Program(), L"Tervan! Scanner");
    HWND main = program.WaitForDialogWith(QuickScan, L"Button");
    ASSERT_NE(nullptr, main);
    program.DropFiles(main, {text, exe, folder});
    ASSERT_NE(nullptr, program.WaitForWindow(L"Tervan! Scanner - Custom scan", 30000, true));
    HWND deletion = program.WaitForDialogWith(UntreatedList, L"SysListView32", 60000);
    ASSERT_NE(nullptr, deletion);
    HWND untreated = ::GetDlgItem(deletion, UntreatedList);
    std::vector<std::wstring> rows;
    for (int row = 0; row < program.ListRows(untreated); ++row) rows.push_back(program.ListText(untreated, row, 0));
    EXPECT_EQ((std::vector<std::wstring>{text, exe, folder + L"\\c.exe"}), rows)
        << "exactly the dropped targets; in the folder only potentially dangerous types";
    ::PostMessageW(deletion, WM_CLOSE, 0, 0);
    HWND progress = program.WaitForWindow(L"Tervan! Scanner - Custom scan", 30000, true);
    PressButton(progress, Abort);
    ASSERT_TRUE(WaitUntil([&] { return ::IsWindowVisible(main) != FALSE; }));
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, program.WaitForExit(30000));
}

TEST_F(EndToEnd, PathsOnTheCommandLineAreScannedWholeAtOnce) {
    WithTestEngine();
    const std::wstring text = files / L"named.txt", folder = files / L"dir with spaces";
    WriteFile(text, "TVE:DETECT 1 Named.Text\n");
    WriteFile(folder + L"\\c.exe", "TVE:DETECT 1 Folder.Exe\n");
    WriteFile(folder + L"\\d.dat", "TVE:DETECT 1 Folder.Data\n");
    WriteFile(files / L"not-named.exe", "TVE:DETECT 1 Not.Named\n");

    // As Explorer's verb starts it: a quoted path (here two, one relative to the program's folder).
    const std::wstring relative = L"..\\" + folder.substr(3);
    RemoteProgram program(Program(), L"Tervan! Scanner", L"\"" + text + L"\" \"" + relative + L"\"");
    HWND deletion = program.WaitForDialogWith(UntreatedList, L"SysListView32", 60000);
    ASSERT_NE(nullptr, deletion);
    HWND untreated = ::GetDlgItem(deletion, UntreatedList);
    std::vector<std::wstring> rows;
    for (int row = 0; row < program.ListRows(untreated); ++row) rows.push_back(program.ListText(untreated, row, 0));
    EXPECT_EQ((std::vector<std::wstring>{text, folder + L"\\c.exe", folder + L"\\d.dat"}), rows) << "every file type";
    ::PostMessageW(deletion, WM_CLOSE, 0, 0);
    HWND progress = program.WaitForWindow(L"Tervan! Scanner - Custom scan", 30000, true);
    ASSERT_NE(nullptr, progress);
    PressButton(progress, Abort);
    HWND main = program.WaitForDialogWith(QuickScan, L"Button");
    ASSERT_NE(nullptr, main);
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, program.WaitForExit(30000));
}

TEST_F(EndToEnd, WithoutBasesTheScansAreOffAndOneMessageSaysWhy) {
    RemoteProgram program(Program(), L"Tervan! Scanner");
    std::wstring message;
    ASSERT_TRUE(WaitUntil([&] { return program.FindMessageBox(&message) != nullptr; }));
    EXPECT_EQ(0u, message.find(L"Error loading antivirus engine!\n\n")) << "the cause below the message";
    EXPECT_GT(message.size(), std::wstring(L"Error loading antivirus engine!\n\n").size());
    ::PostMessageW(program.FindMessageBox(), WM_COMMAND, IDOK, 0);
    HWND main = program.WaitForDialogWith(QuickScan, L"Button");
    ASSERT_NE(nullptr, main);
    ::Sleep(1000);
    EXPECT_EQ(nullptr, program.FindMessageBox()) << "one message box only";
    for (int id : {int(QuickScan), int(FullScan), 1002}) EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(main, id))) << id;
    EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(main, Repository)));
    EXPECT_EQ(L"Antivirus core: ????", DialogItemText(main, CoreVersion));
    EXPECT_EQ(L"Virus base: ????", DialogItemText(main, BaseSize));
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, program.WaitForExit(30000));
}

TEST_F(BaseUpdates, NewBasesAreFetchedAndTheWindowCountsThem) {
    const std::string port = ReadFile(ExecutableFolder() + L"..\\update-mirror\\port");
    ASSERT_FALSE(port.empty()) << "the tests' mirror is not running";
    WithReferenceEngine("http://127.0.0.1:" + port + "/good/");
    RemoteProgram program(Program(), L"Tervan! Scanner");
    HWND main = program.WaitForDialogWith(QuickScan, L"Button");
    ASSERT_NE(nullptr, main);
    ASSERT_TRUE(WaitUntil([&] { return DialogItemText(main, BaseSize).find(L"records") != std::wstring::npos; }));
    const std::wstring before = DialogItemText(main, BaseSize);
    ::PostMessageW(main, WM_SYSCOMMAND, UpdateBasesCommand, 0);
    std::wstring message;
    ASSERT_TRUE(WaitUntil([&] { return program.FindMessageBox(&message) != nullptr; }, 120000));
    EXPECT_NE(std::wstring::npos, message.find(L"daily: patched from version 1 to 4")) << message;
    EXPECT_NE(std::wstring::npos, message.find(L"daily: updated to version 4")) << message;
    ::PostMessageW(program.FindMessageBox(), WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(WaitUntil([&] {
        const std::wstring now = DialogItemText(main, BaseSize);
        return now != before && now.find(L"records") != std::wstring::npos;
    })) << "the engine was loaded again with the new bases: " << DialogItemText(main, BaseSize);
    EXPECT_TRUE(FileExists(app / L"Bases\\daily.cld"));
    EXPECT_FALSE(FileExists(app / L"Bases\\daily.cvd"));
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, program.WaitForExit(30000));
}

TEST_F(BaseUpdates, AMirrorThatCannotBeReachedIsNamedAndTheBasesStay) {
    WithReferenceEngine("http://127.0.0.1:9/");
    RemoteProgram program(Program(), L"Tervan! Scanner");
    HWND main = program.WaitForDialogWith(QuickScan, L"Button");
    ASSERT_NE(nullptr, main);
    ASSERT_TRUE(WaitUntil([&] { return DialogItemText(main, BaseSize).find(L"records") != std::wstring::npos; }));
    const std::wstring before = DialogItemText(main, BaseSize);
    ::PostMessageW(main, WM_SYSCOMMAND, 0x0020, 0);  // "Update bases" in the window's system menu
    std::wstring message;
    ASSERT_TRUE(WaitUntil([&] { return program.FindMessageBox(&message) != nullptr; }, 60000));
    EXPECT_NE(std::wstring::npos, message.find(L"http://127.0.0.1:9/daily.cvd: the server did not answer")) << message;
    EXPECT_EQ(before, DialogItemText(main, BaseSize));
    ::PostMessageW(program.FindMessageBox(), WM_COMMAND, IDOK, 0);
    ::PostMessageW(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, program.WaitForExit(30000));
}

TEST_F(EndToEnd, ClosingTheProgramDuringAScanEndsItCleanly) {
    WithTestEngine();
    for (int i = 0; i < 300; ++i) WriteFile(files / (L"slow" + std::to_wstring(i) + L".exe"), "TVE:SLEEP 40\n");
    RemoteProgram program(Program(), L"Tervan! Scanner");
    HWND main = program.WaitForDialogWith(QuickScan, L"Button");
    ASSERT_NE(nullptr, main);
    PressButton(main, FullScan);
    HWND progress = program.WaitForWindow(L"Tervan! Scanner - Full scan", 30000, true);
    ASSERT_NE(nullptr, progress);
    ASSERT_TRUE(WaitUntil([&] { return DialogItemText(progress, CurrentObject).find(L"slow") != std::wstring::npos; }, 120000));
    ::PostMessageW(main, WM_CLOSE, 0, 0);  // the close of the (hidden) main window, as from the task bar
    EXPECT_EQ(0u, program.WaitForExit(30000)) << "the process ends by itself, its scan threads with it";
}
