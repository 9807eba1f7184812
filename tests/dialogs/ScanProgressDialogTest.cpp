// The scan progress and deletion dialogs, driven through their windows while real scans run.
#include "dialogs/ScanProgressDlg.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UiScript.h"
#include "tests/support/WindowTest.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <ctime>

using namespace TestSupport;

namespace {

boost::shared_ptr<Quarantine::CQuarantine> DiskD() {
    return boost::shared_ptr<Quarantine::CQuarantine>(new Quarantine::CQuarantine(L"d"));
}

size_t Containers() {
    size_t count = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(L"D:\\TER.QUAR\\*.tqr", &data);
    if (find == INVALID_HANDLE_VALUE) return 0;
    do ++count;
    while (::FindNextFileW(find, &data));
    ::FindClose(find);
    return count;
}

HWND DeletionDialog() { return FindDialogWith(IDC_UNTREATED_LIST, L"SysListView32"); }

class ProgressDialogs : public ::testing::Test {
protected:
    ProgressDialogs() : quarantine(DiskD), engine(quarantine) {
        SetReportsFolder(reports.Path());
        RemoveQuarantineFolders();
        quarantine.Start();
        engine.InitEngine(EngineFolder(L"test"));
    }
    ~ProgressDialogs() override {
        SetReportsFolder(std::wstring());
        engine.Stop();
        RemoveQuarantineFolders();
    }
    boost::shared_ptr<AvScanTask> Task(const std::list<std::wstring>& targets, int type = AvScanTask::Custom) {
        boost::shared_ptr<AvScanTask> task(new AvScanTask(type));
        task->targets = targets;
        return task;
    }
    std::wstring File(const std::wstring& name, const std::string& content) {
        WriteFile(tree / name, content);
        return tree / name;
    }
    // Runs the dialog while the script drives it; the script ends it.
    INT_PTR Run(CScanProgressDlg& dialog, UiScript& script, int timeoutMs = 60000) {
        const INT_PTR result = RunModal(dialog, [&] {
            script.Start(timeoutMs);
            EndModalAfter(timeoutMs + 5000);
        });
        EXPECT_TRUE(script.Done()) << "the script stopped at step " << script.StepsDone();
        return result;
    }
    bool Shows(CScanProgressDlg& dialog, int id, const std::wstring& text) {
        return ItemText(dialog.GetSafeHwnd(), id) == text;
    }

    ScratchFolder tree, reports;
    AvQuarantineManager quarantine;
    AvEngineManager engine;
};

}  // namespace

TEST(TimeSpans, HoursMinutesSecondsAndTheDailyWrap) {
    EXPECT_EQ(L"00:00:00", FormatTimeSpan(0));
    EXPECT_EQ(L"01:01:01", FormatTimeSpan(3661));
    EXPECT_EQ(L"23:59:59", FormatTimeSpan(86399));
    EXPECT_EQ(L"01:00:00", FormatTimeSpan(25 * 3600));
}

TEST_F(ProgressDialogs, ACleanScanEndsSayingSo) {
    for (int i = 0; i < 20; ++i) File(L"f" + std::to_wstring(i) + L".exe", "clean");
    CScanProgressDlg dialog(Task({tree.Path()}), nullptr, engine, quarantine);
    UiScript script;
    HWND hwnd = nullptr;
    script
        .Then([&] {
            hwnd = dialog.GetSafeHwnd();
            EXPECT_EQ(L"Tervan! Scanner - Custom scan", CWnd::FromHandle(hwnd)->GetWindowText());
            EXPECT_EQ(L"Scanning rating: 0 files/sec", ItemText(hwnd, IDC_RATING)) << "elapsed is 0";
            EXPECT_EQ(L"Exhausted time:    00:00:00", ItemText(hwnd, IDC_ELAPSED));
            EXPECT_EQ(L"Statistics", ItemText(hwnd, IDC_STATISTICS_FRAME));
            EXPECT_EQ(L"Execute the action", ItemText(hwnd, IDC_TAKE_ACTION));
            return true;
        })
        .Then([&] { return Shows(dialog, IDC_CURRENT_OBJECT, L"Scanning finished. No threats found."); })
        .Then([&] {
            EXPECT_EQ(0, ListRows(::GetDlgItem(hwnd, IDC_THREAT_LIST)));
            EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(hwnd, IDC_PAUSE)));
            EXPECT_EQ(L"Close", ItemText(hwnd, IDC_ABORT));
            EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(hwnd, IDC_TAKE_ACTION)));
            EXPECT_EQ(L"100%", ItemText(hwnd, IDC_PERCENT));
            EXPECT_EQ(100, ::SendMessageW(::GetDlgItem(hwnd, IDC_PROGRESS), PBM_GETPOS, 0, 0));
            EXPECT_EQ(L"Checked:           20", ItemText(hwnd, IDC_CHECKED));
            EXPECT_EQ(L"Found:      0 threats", ItemText(hwnd, IDC_FOUND));
            EXPECT_EQ(nullptr, DeletionDialog());
            Click(hwnd, IDC_ABORT);
            return true;
        });
    EXPECT_EQ(IDOK, Run(dialog, script));
}

TEST_F(ProgressDialogs, AFileThatCouldNotBeScannedIsNamedWithItsReason) {
    File(L"clean.exe", "clean");
    const std::wstring held = File(L"held.exe", "TVE:DETECT 1 Never.Seen\n");
    HANDLE holder = ::CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    CScanProgressDlg dialog(Task({tree.Path()}), nullptr, engine, quarantine);
    UiScript script;
    script.Then([&] { return Shows(dialog, IDC_CURRENT_OBJECT, L"Scanning finished. Files that could not be scanned: 1"); })
        .Then([&] {
            HWND list = ::GetDlgItem(dialog.GetSafeHwnd(), IDC_THREAT_LIST);
            EXPECT_EQ(1, ListRows(list));
            EXPECT_EQ(held, ListText(list, 0, 0));
            EXPECT_EQ(L"Not scanned: the file is in use by another program", ListText(list, 0, 2));
            EXPECT_EQ(nullptr, DeletionDialog()) << "nothing to delete: it is not known to be a threat";
            ::PostMessageW(dialog.GetSafeHwnd(), WM_CLOSE, 0, 0);
            return true;
        });
    Run(dialog, script);
    ::CloseHandle(holder);
}

TEST_F(ProgressDialogs, NoFileIsDeletedWithoutACopyUnlessTheUserSaysSoAndEveryRowLeftSaysWhy) {
    // Too big for the quarantine (sparse, with the directive at its start), and one held open.
    const std::wstring big = tree / L"big.exe";
    WriteFile(big, "TVE:DETECT 1 Too.Big\n");
    {
        HANDLE file = ::CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = 60LL << 20;
        ::SetFilePointerEx(file, size, nullptr, FILE_BEGIN);
        ::SetEndOfFile(file);
        ::CloseHandle(file);
    }
    const std::wstring held = File(L"held.exe", "TVE:DETECT 1 Held.Open\n");
    CScanProgressDlg dialog(Task({big, held}), nullptr, engine, quarantine);
    HANDLE holder = INVALID_HANDLE_VALUE;
    HWND deletion = nullptr;
    UiScript script;
    script.Then([&] { return (deletion = DeletionDialog()) != nullptr; })
        .Then([&] {
            // Readable, so it can be copied, but not deletable while this handle lives.
            holder = ::CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            HWND list = ::GetDlgItem(deletion, IDC_UNTREATED_LIST);
            SetCheck(list, 0, true);
            SetCheck(list, 1, true);
            Click(deletion, IDC_DELETE_SELECTED);
            return true;
        })
        // Only the file that could not be copied may go without a copy, and only when the user says so.
        .Then([&] { return MessageBoxText().find(L"1 file(s) could not be copied into the quarantine first") == 0; })
        .Then([&] { return AnswerMessageBox(IDNO); })
        .Then([&] { return MessageBoxText().empty(); })
        .Then([&] {
            HWND list = ::GetDlgItem(deletion, IDC_UNTREATED_LIST);
            EXPECT_EQ(2, ListRows(list)) << "both stay in the list";
            EXPECT_TRUE(FileExists(big) && FileExists(held));
            const std::wstring tooBig = L"Not deleted: no copy could be kept in the quarantine: the file is larger than 50 MB, "
                                        L"more than the quarantine can keep";
            EXPECT_EQ(tooBig, ListText(list, 0, 2));
            EXPECT_EQ(L"Not deleted: the file is in use by another program", ListText(list, 1, 2));
            EXPECT_EQ(big + L"\nToo.Big\n" + tooBig, ListInfoTip(deletion, IDC_UNTREATED_LIST, 0)) << "a reason cut off shows whole";
            HWND progress = ::GetDlgItem(dialog.GetSafeHwnd(), IDC_THREAT_LIST);
            EXPECT_EQ(tooBig, ListText(progress, 0, 2)) << "the scan's list and report say what happened";
            EXPECT_EQ(0u, Containers()) << "the copy of the file that stayed is not kept twice";
            ::CloseHandle(holder);
            SetCheck(list, 1, false);
            Click(deletion, IDC_DELETE_SELECTED);
            return true;
        })
        .Then([&] { return !MessageBoxText().empty() && AnswerMessageBox(IDYES); })
        .Then([&] { return ListRows(::GetDlgItem(deletion, IDC_UNTREATED_LIST)) == 1; })
        .Then([&] {
            EXPECT_FALSE(FileExists(big)) << "deleted without a copy, as the user chose";
            EXPECT_EQ(0u, Containers());
            EXPECT_EQ(L"Deleted", ListText(::GetDlgItem(dialog.GetSafeHwnd(), IDC_THREAT_LIST), 0, 2));
            ::PostMessageW(deletion, WM_CLOSE, 0, 0);
            return true;
        })
        .Then([&] { return !DeletionDialog(); })
        .Then([&] {
            ::PostMessageW(dialog.GetSafeHwnd(), WM_CLOSE, 0, 0);
            return true;
        });
    Run(dialog, script);
}

TEST_F(ProgressDialogs, UntreatedFilesAreOfferedAndDeletedAfterAQuarantineCopy) {
    const std::wstring cured = File(L"cured.exe", "TVE:DETECT 1 Will.Cure curable\n");
    std::vector<std::wstring> u;
    for (int i = 0; i < 5; ++i)
        u.push_back(File(L"u" + std::to_wstring(i) + L".exe",
                         i == 1 ? "TVE:DETECT 1 Kept.Copy curable\nTVE:CURE nochange\n"
                                : "TVE:DETECT 2 Untreated." + std::to_string(i) + "\n"));
    CScanProgressDlg dialog(Task({cured, u[0], u[1], u[2], u[3], u[4]}), nullptr, engine, quarantine);
    HWND progress = nullptr, deletion = nullptr;
    UiScript script;
    script
        .Then([&] {
            progress = dialog.GetSafeHwnd();
            deletion = DeletionDialog();
            return deletion != nullptr;
        })
        .Then([&] {
            EXPECT_FALSE(::IsWindowVisible(progress)) << "the progress dialog hides behind the deletion dialog";
            HWND list = ::GetDlgItem(deletion, IDC_UNTREATED_LIST);
            EXPECT_EQ(5, ListRows(list));
            for (int row = 0; row < 5; ++row) {
                EXPECT_EQ(u[row], ListText(list, row, 0));
                EXPECT_FALSE(IsChecked(list, row)) << "all check boxes start clear";
            }
            EXPECT_EQ(L"Untreated.3", ListText(list, 3, 1));
            EXPECT_EQ(1u + 1u, Containers()) << "the cure and the unchanged cure were copied";
            SetCheck(list, 0, true);
            SetCheck(list, 2, true);
            SetCheck(list, 3, true);
            Click(deletion, IDC_DELETE_SELECTED);
            return true;
        })
        .Then([&] { return ListRows(::GetDlgItem(deletion, IDC_UNTREATED_LIST)) == 2; })
        .Then([&] {
            HWND list = ::GetDlgItem(deletion, IDC_UNTREATED_LIST);
            EXPECT_EQ(u[1], ListText(list, 0, 0));
            EXPECT_EQ(u[4], ListText(list, 1, 0));
            EXPECT_FALSE(FileExists(u[0]) || FileExists(u[2]) || FileExists(u[3]));
            EXPECT_TRUE(FileExists(u[1]) && FileExists(u[4]));
            EXPECT_EQ(5u, Containers()) << "each deleted file was copied into the quarantine first";
            ::PostMessageW(deletion, WM_CLOSE, 0, 0);
            return true;
        })
        .Then([&] { return ::IsWindowVisible(progress) && !DeletionDialog(); })
        .Then([&] {
            HWND list = ::GetDlgItem(progress, IDC_THREAT_LIST);
            EXPECT_EQ(6, ListRows(list));
            const wchar_t* actions[] = {L"Cured", L"Deleted", L"Not cured: the engine's cure did not remove the threat",
                                        L"Deleted", L"Deleted", L"Skipped"};
            for (int row = 0; row < 6; ++row) EXPECT_EQ(actions[row], ListText(list, row, 2)) << row;
            EXPECT_EQ(L"Deleted:      3 files", ItemText(progress, IDC_DELETED));
            EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(progress, IDC_TAKE_ACTION)));
            Click(progress, IDC_TAKE_ACTION);
            return true;
        })
        .Then([&] { return (deletion = DeletionDialog()) != nullptr; })
        .Then([&] {
            HWND list = ::GetDlgItem(deletion, IDC_UNTREATED_LIST);
            EXPECT_EQ(2, ListRows(list)) << "the next opening lists only the rest";
            SetCheck(list, 0, true);
            ::PostMessageW(deletion, WM_KEYDOWN, VK_RETURN, 0);  // Enter presses Delete selected
            return true;
        })
        .Then([&] { return ListRows(::GetDlgItem(deletion, IDC_UNTREATED_LIST)) == 1; })
        .Then([&] {
            EXPECT_EQ(5u, Containers()) << "a file already in the quarantine is not copied again";
            ::PostMessageW(deletion, WM_CLOSE, 0, 0);
            return true;
        })
        .Then([&] { return ::IsWindowVisible(progress) && !DeletionDialog(); })
        .Then([&] {
            EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(progress, IDC_TAKE_ACTION))) << "one file is left";
            EXPECT_EQ(L"Deleted:      4 files", ItemText(progress, IDC_DELETED));
            Click(progress, IDC_ABORT);
            return true;
        });
    EXPECT_EQ(IDOK, Run(dialog, script));
    EXPECT_EQ(1u, dialog.Untreated().size());

    // The scan's own report, written at its end and again after each deletion run.
    const std::string report = ReadFile(reports / AutomaticReportName(dialog.Report().started));
    EXPECT_EQ(0u, report.find("\xEF\xBB\xBFTervan! Scanner - scan report\r\n")) << report;
    for (const std::string& line : {std::string("Scan: Custom scan"), std::string("Result: finished"),
                                    std::string("Checked files: 6"), std::string("Threats found: 6"),
                                    std::string("Threats cured: 1"), std::string("Files deleted: 4"),
                                    Narrow(cured) + "\tWill.Cure\tCured",
                                    Narrow(u[0]) + "\tUntreated.0\tDeleted",
                                    Narrow(u[1]) + "\tKept.Copy\tDeleted",
                                    Narrow(u[4]) + "\tUntreated.4\tSkipped"})
        EXPECT_NE(std::string::npos, report.find(line + "\r\n")) << line;
}

namespace {

// The list's pixels as they are on the screen now.
std::vector<COLORREF> Pixels(HWND window) {
    RECT client;
    ::GetClientRect(window, &client);
    HDC dc = ::GetDC(window);
    HDC memory = ::CreateCompatibleDC(dc);
    HBITMAP bitmap = ::CreateCompatibleBitmap(dc, client.right, client.bottom);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    std::vector<COLORREF> pixels;
    for (int y = 0; y < std::min<LONG>(client.bottom, 60); ++y)
        for (int x = 0; x < client.right; ++x) pixels.push_back(::GetPixel(memory, x, y));
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(window, dc);
    return pixels;
}

}  // namespace

TEST_F(ProgressDialogs, ARowReadsWholeAfterTheDialogGrows) {
    File(L"a-rather-long-folder-name-for-the-first-column\\and-a-long-file-name-that-will-not-fit.exe",
         "TVE:DETECT 1 Wide.Row curable\n");
    CScanProgressDlg dialog(Task({tree.Path()}), nullptr, engine, quarantine);
    HWND hwnd = nullptr, list = nullptr;
    UiScript script;
    script.Then([&] { return Shows(dialog, IDC_CURRENT_OBJECT, L"Scanning finished"); })
        .Then([&] {
            hwnd = dialog.GetSafeHwnd();
            list = ::GetDlgItem(hwnd, IDC_THREAT_LIST);
            RECT rect;
            ::GetWindowRect(hwnd, &rect);
            ::SetWindowPos(hwnd, nullptr, 0, 0, rect.right - rect.left + 300, rect.bottom - rect.top, SWP_NOMOVE | SWP_NOZORDER);
            PumpFor(300);
            const std::vector<COLORREF> after = Pixels(list);
            // Drawn afresh from nothing: what the row must look like.
            ::RedrawWindow(list, nullptr, nullptr, RDW_ERASE | RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
            PumpFor(100);
            EXPECT_TRUE(after == Pixels(list)) << "no piece of the old, shortened text is left in row 0";
            const int rest = static_cast<int>(::SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0) + ::SendMessageW(list, LVM_GETCOLUMNWIDTH, 2, 0));
            RECT client;
            ::GetClientRect(list, &client);
            EXPECT_EQ(client.right - rest, ::SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0));
            Click(hwnd, IDC_ABORT);
            return true;
        });
    Run(dialog, script);
}

TEST(ScanReports, OnlyTheNewestFiftyAreKept) {
    ScratchFolder folder;
    SetReportsFolder(folder.Path());
    for (int day = 1; day <= 55; ++day) {
        WriteFile(folder / (L"scan-2019" + std::to_wstring(100 + day).substr(1) + L"01-120000.txt"), "old");
    }
    ScanReport report;
    report.started = std::time(nullptr);
    const std::wstring written = SaveAutomaticReport(report);
    EXPECT_EQ(folder / AutomaticReportName(report.started), written);
    size_t left = 0;
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((folder / L"scan-*.txt").c_str(), &data);
    do ++left;
    while (::FindNextFileW(find, &data));
    ::FindClose(find);
    EXPECT_EQ(KeptReports, left);
    EXPECT_FALSE(FileExists(folder / L"scan-20190101-120000.txt")) << "the oldest went first";
    EXPECT_TRUE(FileExists(folder / L"scan-20195501-120000.txt"));
    SetReportsFolder(std::wstring());
}

TEST_F(ProgressDialogs, AVanishedFileStaysCheckedAndTheOthersGo) {
    const std::wstring a = File(L"a.exe", "TVE:DETECT 1 A\n"), b = File(L"b.exe", "TVE:DETECT 1 B\n"),
                       c = File(L"c.exe", "TVE:DETECT 1 C\n");
    CScanProgressDlg dialog(Task({a, b, c}), nullptr, engine, quarantine);
    HWND deletion = nullptr;
    UiScript script;
    script.Then([&] { return (deletion = DeletionDialog()) != nullptr; })
        .Then([&] {
            ::DeleteFileW(b.c_str());
            Click(deletion, IDC_DELETE_SELECT_ALL);
            return true;
        })
        .Then([&] { return IsChecked(::GetDlgItem(deletion, IDC_UNTREATED_LIST), 2); })
        .Then([&] {
            Click(deletion, IDC_DELETE_SELECTED);
            return true;
        })
        .Then([&] { return ListRows(::GetDlgItem(deletion, IDC_UNTREATED_LIST)) == 1; })
        .Then([&] {
            HWND list = ::GetDlgItem(deletion, IDC_UNTREATED_LIST);
            EXPECT_EQ(b, ListText(list, 0, 0));
            EXPECT_TRUE(IsChecked(list, 0)) << "a file that could not be deleted stays checked";
            Click(deletion, IDC_DELETE_DESELECT);
            return true;
        })
        .Then([&] { return !IsChecked(::GetDlgItem(deletion, IDC_UNTREATED_LIST), 0); })
        .Then([&] {
            ::PostMessageW(deletion, WM_CLOSE, 0, 0);
            return true;
        })
        .Then([&] { return !DeletionDialog() && ::IsWindowVisible(dialog.GetSafeHwnd()); })
        .Then([&] {
            ::PostMessageW(dialog.GetSafeHwnd(), WM_KEYDOWN, VK_ESCAPE, 0);  // after the end: IDCANCEL
            return true;
        });
    EXPECT_EQ(IDCANCEL, Run(dialog, script));
}

TEST_F(ProgressDialogs, AbortAsksThenKeepsTheBarWhereItWas) {
    std::list<std::wstring> files;
    for (int i = 0; i < 200; ++i) files.push_back(File(L"s" + std::to_wstring(i) + L".exe", "TVE:SLEEP 15\n"));
    CScanProgressDlg dialog(Task({tree.Path()}), nullptr, engine, quarantine);
    HWND hwnd = nullptr;
    std::wstring question;
    UiScript script;
    script
        .Then([&] {
            hwnd = dialog.GetSafeHwnd();
            const int position = static_cast<int>(::SendMessageW(::GetDlgItem(hwnd, IDC_PROGRESS), PBM_GETPOS, 0, 0));
            return position >= 10;
        })
        .Then([&] {
            Click(hwnd, IDC_ABORT);
            return true;
        })
        .Then([&] { return !(question = MessageBoxText()).empty(); })
        .Then([&] {
            EXPECT_EQ(L"Do you want to abort an active process of scanning system?", question);
            return AnswerMessageBox(IDYES);
        })
        .Then([&] { return Shows(dialog, IDC_CURRENT_OBJECT, L"Scan aborted..."); })
        .Then([&] {
            const int position = static_cast<int>(::SendMessageW(::GetDlgItem(hwnd, IDC_PROGRESS), PBM_GETPOS, 0, 0));
            EXPECT_LT(position, 100);
            EXPECT_EQ(std::to_wstring(position) + L"%", ItemText(hwnd, IDC_PERCENT)) << "the bar keeps its last place";
            EXPECT_FALSE(::IsWindowVisible(::GetDlgItem(hwnd, IDC_PAUSE)));
            EXPECT_EQ(L"Close", ItemText(hwnd, IDC_ABORT));
            Click(hwnd, IDC_ABORT);
            return true;
        });
    EXPECT_EQ(IDOK, Run(dialog, script));
}

TEST_F(ProgressDialogs, PauseFreezesTheTimeAndEscapeStopsWithoutAQuestion) {
    for (int i = 0; i < 400; ++i) File(L"p" + std::to_wstring(i) + L".exe", "TVE:SLEEP 20\n");
    CScanProgressDlg dialog(Task({tree.Path()}), nullptr, engine, quarantine);
    HWND hwnd = nullptr;
    std::wstring frozen;
    DWORD pausedAt = 0;
    // A second click, made as the scan confirms the first but before the dialog hears of it, asks for a
    // pause too, as the button's label still said.
    std::atomic<bool> secondClick{false};
    boost::signals2::scoped_connection second = engine.paused.connect([&] {
        if (!secondClick.exchange(true)) Click(hwnd, IDC_PAUSE);
    });
    UiScript script;
    script
        .Then([&] {
            hwnd = dialog.GetSafeHwnd();
            return dialog.Elapsed() >= 1;
        })
        .Then([&] {
            Click(hwnd, IDC_PAUSE);
            return true;
        })
        .Then([&] { return ItemText(hwnd, IDC_PAUSE) == L"Continue"; })
        .Then([&] {
            frozen = ItemText(hwnd, IDC_ELAPSED);
            pausedAt = ::GetTickCount();
            return true;
        })
        .Then([&] { return ::GetTickCount() - pausedAt > 2300; })
        .Then([&] {
            EXPECT_EQ(frozen, ItemText(hwnd, IDC_ELAPSED)) << "the time does not advance while paused";
            const std::wstring line = ItemText(hwnd, IDC_CHECKED);
            const int checked = _wtoi(line.substr(line.rfind(L' ') + 1).c_str());
            EXPECT_EQ(L"Scanning rating: " + std::to_wstring(checked / dialog.Elapsed()) + L" files/sec",
                      ItemText(hwnd, IDC_RATING));
            Click(hwnd, IDC_PAUSE);
            return true;
        })
        .Then([&] { return ItemText(hwnd, IDC_PAUSE) == L"Pause"; })
        .Then([&] { return ItemText(hwnd, IDC_ELAPSED) != frozen; })
        .Then([&] {
            ::PostMessageW(hwnd, WM_KEYDOWN, VK_ESCAPE, 0);  // ends the dialog; its end stops the scan
            return true;
        });
    EXPECT_EQ(IDCANCEL, Run(dialog, script));
    EXPECT_TRUE(dialog.IsFinished()) << "closing during a scan stopped it, without a question";
}

TEST_F(ProgressDialogs, OutOfRangeProgressTimeWrapAndAnUnknownTaskType) {
    const std::wstring slow = File(L"slow.exe", "TVE:SLEEP 4000\n");
    CScanProgressDlg dialog(Task({slow}, 7), nullptr, engine, quarantine);
    UiScript script;
    script
        .Then([&] {
            HWND hwnd = dialog.GetSafeHwnd();
            EXPECT_EQ(L"Tervan! Scanner - ", CWnd::FromHandle(hwnd)->GetWindowText());
            engine.progress(57);
            engine.progress(101);
            engine.progress(-1);
            EXPECT_EQ(57, ::SendMessageW(::GetDlgItem(hwnd, IDC_PROGRESS), PBM_GETPOS, 0, 0));
            EXPECT_EQ(L"57%", ItemText(hwnd, IDC_PERCENT));
            dialog.timeTick(25 * 3600 - dialog.Elapsed());
            EXPECT_EQ(L"Exhausted time:    01:00:00", ItemText(hwnd, IDC_ELAPSED));
            ::PostMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);  // the close box during the scan: the question first
            return true;
        })
        .Then([&] { return AnswerMessageBox(IDYES); })
        .Then([&] { return dialog.IsFinished(); })
        .Then([&] {
            ::PostMessageW(dialog.GetSafeHwnd(), WM_CLOSE, 0, 0);
            return true;
        });
    EXPECT_EQ(IDCANCEL, Run(dialog, script));
}

TEST_F(ProgressDialogs, FloodsOfUpdatesNeverDeadlockAbortOrClose) {
    std::string inner;
    for (int i = 0; i < 6; ++i) inner += "TVE:OBJECT 0 part" + std::to_string(i) + "\n";
    for (int i = 0; i < 3000; ++i) File(L"d" + std::to_wstring(i % 30) + L"\\f" + std::to_wstring(i) + L".exe", inner);
    const int delays[] = {0, 80, 400, 1300, 2000};
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        CScanProgressDlg dialog(Task({tree.Path()}), nullptr, engine, quarantine);
        DWORD start = 0;
        UiScript script;
        const bool viaAbort = round % 2 == 0;
        script.Then([&] {
            if (!start) start = ::GetTickCount();
            return ::GetTickCount() - start >= static_cast<DWORD>(delays[round / 2]);
        });
        // The Abort button, or the close box while it floods: the same question, and a close once stopped.
        script
            .Then([&] {
                if (viaAbort) Click(dialog.GetSafeHwnd(), IDC_ABORT);
                else ::PostMessageW(dialog.GetSafeHwnd(), WM_SYSCOMMAND, SC_CLOSE, 0);
                return true;
            })
            .Then([&] { return AnswerMessageBox(IDYES) || dialog.IsFinished(); })
            .Then([&] { return dialog.IsFinished(); })
            .Then([&] {
                ::PostMessageW(dialog.GetSafeHwnd(), WM_CLOSE, 0, 0);
                return true;
            });
        Run(dialog, script, 30000);
        EXPECT_TRUE(dialog.IsFinished());
        EXPECT_FALSE(script.TimedOut());
    }
}

TEST(ProgressWithoutEngine, ReportsThatTheScanCannotStartAndStaysUsable) {
    AvQuarantineManager quarantine(DiskD);
    AvEngineManager engine(quarantine);
    boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Quick));
    CScanProgressDlg dialog(task, nullptr, engine, quarantine);
    std::wstring report, question;
    UiScript script;
    HWND hwnd = nullptr;
    script.Then([&] { return !(report = MessageBoxText()).empty(); })
        .Then([&] { return AnswerMessageBox(IDOK); })
        .Then([&] { return (hwnd = dialog.GetSafeHwnd()) != nullptr && MessageBoxText().empty(); })
        .Then([&] {
            EXPECT_TRUE(::IsWindowVisible(::GetDlgItem(hwnd, IDC_PAUSE)));
            EXPECT_EQ(L"Abort", ItemText(hwnd, IDC_ABORT));
            Click(hwnd, IDC_ABORT);
            return true;
        })
        .Then([&] { return !(question = MessageBoxText()).empty(); })
        .Then([&] { return AnswerMessageBox(IDYES); })
        .Then([&] { return MessageBoxText().empty(); })
        .Then([&] {
            EXPECT_TRUE(dialog.IsRunning()) << "the dialog stays open after the abort";
            ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
            return true;
        });
    const INT_PTR result = RunModal(dialog, [&] {
        script.Start(20000);
        EndModalAfter(25000);
    });
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(IDCANCEL, result);
    EXPECT_EQ(L"Unable to start scanning: AvEngine initialization failed!", report);
    EXPECT_EQ(L"Do you want to abort an active process of scanning system?", question);
}
