// tervan_showcase: opens one of the program's dialogs on its own, for pictures and for trying it out.
//   tervan_showcase buttons                    the main window's five picture buttons
//   tervan_showcase progress FOLDER [ENGINE]   a custom scan of the folder in the progress dialog,
//                                              with a test engine folder (default: engines\test)
//   tervan_showcase repository                 the "Restore point" browser over the quarantine
//   tervan_showcase about                      the about box
//   tervan_showcase folders [PATH...]          the custom-scan selection, with these paths clicked open
//                                              and their check boxes clicked
//   tervan_showcase timed-scan FOLDER ENGINE RESULT   the progress dialog scans the folder and closes;
//                                              RESULT gets the seconds from the scan's start to its
//                                              end, without the counting pass's one-second head start
#include "app/AboutDlg.h"
#include "dialogs/FileRepositoryDlg.h"
#include "dialogs/ScanProgressDlg.h"
#include "dialogs/SelectFolderDlg.h"
#include "resources/resource.h"
#include "tests/support/TreeClicks.h"
#include "framework/App.h"
#include "quarantine/QuarantineManager.h"
#include "tests/support/ButtonsDialog.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\') + 1);
}

void ShowProgress(const std::wstring& folder, const std::wstring& engineFolder) {
    AvQuarantineManager::Get().Start();
    AvEngineManager::Get().InitEngine(engineFolder);
    boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Custom));
    task->targets.push_back(folder);
    CScanProgressDlg dialog(task, nullptr);
    dialog.DoModal();
}

void TimedScan(const std::wstring& folder, const std::wstring& engineFolder, const std::wstring& result) {
    AvQuarantineManager::Get().Start();
    AvEngineManager& engine = AvEngineManager::Get();
    engine.InitEngine(engineFolder);
    boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Custom));
    task->targets.push_back(folder);
    task->cureThreats = false;
    CScanProgressDlg dialog(task, nullptr);
    LARGE_INTEGER started = {}, ended = {}, frequency = {};
    ::QueryPerformanceFrequency(&frequency);
    boost::signals2::scoped_connection onStart = engine.started.connect([&] { ::QueryPerformanceCounter(&started); });
    boost::signals2::scoped_connection onEnd = engine.finished.connect([&](bool) {
        ::QueryPerformanceCounter(&ended);
        ::PostMessageW(dialog.GetSafeHwnd(), WM_CLOSE, 0, 0);
    });
    dialog.DoModal();
    const double seconds = static_cast<double>(ended.QuadPart - started.QuadPart) / frequency.QuadPart - 1.0;
    FILE* out = _wfopen(result.c_str(), L"w");
    if (out) {
        fprintf(out, "%.3f\n", seconds);
        fclose(out);
    }
}

TervanSelectFolderDlg* folderDialog = nullptr;
std::vector<std::wstring> pathsToCheck;

// Clicks each path open from its drive down, then clicks its check box, as a user would.
void CALLBACK ClickPaths(HWND, UINT, UINT_PTR timer, DWORD) {
    ::KillTimer(nullptr, timer);
    HWND tree = folderDialog->GetDlgItem(IDC_FOLDER_TREE);
    for (const std::wstring& path : pathsToCheck) {
        auto open = [tree](HTREEITEM item) {
            if (item && !TestSupport::TreeExpanded(tree, item)) TestSupport::ClickLabel(tree, item);
        };
        HTREEITEM item = TestSupport::FindDrive(tree, path[0]);
        open(item);
        for (size_t start = 3; item && start < path.size();) {
            size_t end = path.find(L'\\', start);
            if (end == std::wstring::npos) end = path.size();
            item = TestSupport::FindTreeItem(tree, item, path.substr(start, end - start));
            if (end < path.size()) open(item);
            start = end + 1;
        }
        if (item) TestSupport::ClickCheckBox(tree, item);
    }
}

void ShowFolders(const std::vector<std::wstring>& paths) {
    TervanSelectFolderDlg dialog(nullptr);
    folderDialog = &dialog;
    pathsToCheck = paths;
    ::SetTimer(nullptr, 0, 200, &ClickPaths);
    dialog.DoModal();
}

class ShowcaseApp : public CWinApp {
public:
    BOOL InitInstance() override {
        INITCOMMONCONTROLSEX classes = {sizeof(classes), 0xFF};
        ::InitCommonControlsEx(&classes);
        int count = 0;
        LPWSTR* arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
        std::vector<std::wstring> words(arguments, arguments + count);
        ::LocalFree(arguments);
        const std::wstring view = count > 1 ? words[1] : L"";
        if (view == L"buttons") {
            TestSupport::ButtonsDialog dialog;
            dialog.DoModal();
        } else if (view == L"progress" && count > 2) {
            ShowProgress(words[2], count > 3 ? words[3] : ProgramFolder() + L"..\\engines\\test");
        } else if (view == L"timed-scan" && count > 4) {
            TimedScan(words[2], words[3], words[4]);
        } else if (view == L"about") {
            CAboutDlg dialog;
            dialog.DoModal();
        } else if (view == L"folders") {
            ShowFolders(std::vector<std::wstring>(words.begin() + 2, words.end()));
        } else if (view == L"repository") {
            AvQuarantineManager::Get().Start();
            TervanLiveFileRepositoryDlg dialog(nullptr);
            dialog.DoModal();
        } else {
            AppMessageBox(L"usage: tervan_showcase buttons | progress FOLDER [ENGINE] | repository", MB_OK);
        }
        return FALSE;
    }
};

ShowcaseApp app;

}  // namespace
