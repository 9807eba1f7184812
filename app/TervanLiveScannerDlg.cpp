// The main window.
#include "app/TervanLiveScannerDlg.h"

#include "app/AboutDlg.h"
#include "app/MainButtons.h"
#include "dialogs/MinimisedIcon.h"
#include "dialogs/FileRepositoryDlg.h"
#include "dialogs/ScanProgressDlg.h"
#include "dialogs/SelectFolderDlg.h"
#include "framework/App.h"
#include "framework/Gdi.h"
#include "framework/String.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"
#include "scan/EngineManager.h"

#include <boost/bind/bind.hpp>

#include <shellapi.h>

std::wstring FormatCoreVersion(uint32_t version) {
    return CString::Format(L"%i.%i.%i.%i", static_cast<int>((version >> 24) & 0xFF), static_cast<int>((version >> 16) & 0xFF),
                           static_cast<int>((version >> 8) & 0xFF), static_cast<int>(version & 0xFF));
}

CTervanLiveScannerDlg::CTervanLiveScannerDlg(CWnd* parent)
    : CDialog(IDD_TERVANLIVESCANNER_DIALOG, parent),
      icon_(::LoadIconW(CWinApp::Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME))) {}

void CTervanLiveScannerDlg::DoDataExchange() {
    const struct {
        CWnd* control;
        UINT id;
    } controls[] = {{&logo_, IDC_LOGO},
                    {&title_, IDC_TITLE},
                    {&quickScan_, IDC_QUICK_SCAN},
                    {&fullScan_, IDC_FULL_SCAN},
                    {&customScan_, IDC_CUSTOM_SCAN},
                    {&fileRepository_, IDC_FILE_REPOSITORY},
                    {&coreVersion_, IDC_CORE_VERSION},
                    {&baseSize_, IDC_BASE_SIZE},
                    {&systemScanFrame_, IDC_SYSTEM_SCAN_FRAME},
                    {&repositoryFrame_, IDC_REPOSITORY_GROUP}};
    for (const auto& c : controls) c.control->SubclassDlgItem(c.id, this);
}

void CTervanLiveScannerDlg::SetUpButtons() {
    const int dpi = WindowDpi(hwnd_);
    SetUpMainButtons({logo_, quickScan_, fullScan_, customScan_, fileRepository_}, dpi);
    title_.SetWindowText(L"Tervan! Scanner");
    title_.SetFont(MainTitleFont(dpi));
}

BOOL CTervanLiveScannerDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    HMENU systemMenu = ::GetSystemMenu(hwnd_, FALSE);
    const CString about = CString::Load(IDS_ABOUTBOX), update = CString::Load(IDS_UPDATE_BASES);
    if (systemMenu && !about.empty()) {
        ::AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
        ::AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about.c_str());
        if (!update.empty()) ::AppendMenuW(systemMenu, MF_STRING, IDM_UPDATEBASES, update.c_str());
    }
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    SetWindowText(CString::Load(IDS_APP_TITLE));
    systemScanFrame_.SetWindowText(CString::Load(IDS_SYSTEM_SCAN));
    repositoryFrame_.SetWindowText(CString::Load(IDS_RESTORE_POINT));
    SetUpButtons();

    using boost::placeholders::_1;
    connections_.emplace_back(quickScanRequested.connect(boost::bind(&CTervanLiveScannerDlg::OnQuickScan, this)));
    connections_.emplace_back(fullScanRequested.connect(boost::bind(&CTervanLiveScannerDlg::OnFullScan, this)));
    connections_.emplace_back(customScanRequested.connect(boost::bind(&CTervanLiveScannerDlg::OnCustomScan, this)));
    connections_.emplace_back(fileRepositoryRequested.connect(boost::bind(&CTervanLiveScannerDlg::OnFileRepository, this)));
    connections_.emplace_back(
        AvEngineManager::Get().engineLoaded.connect(boost::bind(&CTervanLiveScannerDlg::OnEngineLoaded, this, _1)));
    connections_.emplace_back(
        AvQuarantineManager::Get().ready.connect(boost::bind(&CTervanLiveScannerDlg::OnQuarantineReady, this, _1)));

    AvEngineManager::Get().InitEngine(GetEngineFolder());
    AvQuarantineManager::Get().Start();
    PostMessage(WM_RUN_SCAN);
    return TRUE;
}

void CTervanLiveScannerDlg::OnEngineLoaded(bool loaded) {
    if (loaded) {
        boost::shared_ptr<AvCore::CAvCore> engine = AvEngineManager::Get().GetEngine();
        coreVersion_.SetWindowText(CString::FormatId(IDS_ANTIVIRUS_CORE, FormatCoreVersion(engine->GetCoreVersion()).c_str()));
        const CString records = CString::FormatId(IDS_RECORDS, static_cast<int>(engine->GetRecordCount()));
        baseText_ = CString::FormatId(IDS_VIRUS_BASE, records.c_str());
        if (!update_.Running()) baseSize_.SetWindowText(baseText_.c_str());
        // Loaded again after an update that brought the first usable bases.
        quickScan_.EnableWindow(true);
        fullScan_.EnableWindow(true);
        customScan_.EnableWindow(true);
        return;
    }
    quickScan_.EnableWindow(false);
    fullScan_.EnableWindow(false);
    customScan_.EnableWindow(false);
    prepared_.reset();  // a scan asked for on the command line cannot run either
    baseText_ = CString::FormatId(IDS_VIRUS_BASE, L"????");
    baseSize_.SetWindowText(baseText_.c_str());
    coreVersion_.SetWindowText(CString::FormatId(IDS_ANTIVIRUS_CORE, L"????"));
    // The cause below the message, as the console gives it: a user can act on "ScanMain.DLL is missing".
    std::wstring message = CString::Load(IDS_ENGINE_LOAD_ERROR);
    const std::wstring& cause = AvEngineManager::Get().LoadFailure();
    if (!cause.empty()) message += L"\n\n" + cause;
    AppMessageBox(CString(message), MB_OK | MB_ICONERROR);
}

void CTervanLiveScannerDlg::OnQuarantineReady(bool ready) {
    if (!ready) fileRepository_.EnableWindow(false);
}

void CTervanLiveScannerDlg::OnQuickScan() {
    prepared_ = MakeQuickScanTask();
    PostMessage(WM_RUN_SCAN);
}

void CTervanLiveScannerDlg::OnFullScan() {
    prepared_ = MakeFullScanTask();
    PostMessage(WM_RUN_SCAN);
}

void CTervanLiveScannerDlg::OnCustomScan() {
    TervanSelectFolderDlg selection(this);
    if (selection.DoModal() != IDOK || selection.Result().empty()) return;
    prepared_.reset(new AvScanTask(AvScanTask::Custom));
    if (!selection.AllFileTypes()) prepared_->extensionFilter = QuickScanExtensions();
    prepared_->targets = selection.Result();
    PostMessage(WM_RUN_SCAN);
}

void CTervanLiveScannerDlg::OnFileRepository() {
    TervanLiveFileRepositoryDlg repository(this);
    repository.DoModal();
}

void CTervanLiveScannerDlg::ScanAtStart(const std::list<std::wstring>& targets) {
    if (targets.empty()) return;
    prepared_.reset(new AvScanTask(AvScanTask::Custom));
    prepared_->targets = targets;
}

std::list<std::wstring> ScanTargetsFromCommandLine(const wchar_t* commandLine) {
    std::list<std::wstring> targets;
    int count = 0;
    LPWSTR* arguments = ::CommandLineToArgvW(commandLine, &count);
    if (!arguments) return targets;
    for (int i = 1; i < count; ++i) {
        std::wstring argument = arguments[i];
        // Explorer quotes a drive as "D:\", and the parsing rules read its backslash as escaping the
        // quote; no file name holds a quote, so one at the end was that backslash.
        if (!argument.empty() && argument.back() == L'"') argument.back() = L'\\';
        if (argument.empty()) continue;
        std::vector<wchar_t> full(32768, 0);
        const DWORD length = ::GetFullPathNameW(argument.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        targets.push_back(length > 0 && length < full.size() ? std::wstring(full.data(), length) : argument);
    }
    ::LocalFree(arguments);
    return targets;
}

void CTervanLiveScannerDlg::OnDropFiles(HDROP drop) {
    const UINT count = ::DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    if (count >= 1) {
        prepared_.reset(new AvScanTask(AvScanTask::Custom));
        prepared_->extensionFilter = QuickScanExtensions();
        for (UINT i = 0; i < count; ++i) {
            wchar_t path[4096] = {};
            if (::DragQueryFileW(drop, i, path, 4096)) prepared_->targets.push_back(path);
        }
        PostMessage(WM_RUN_SCAN);
    }
    ::DragFinish(drop);
}

void CTervanLiveScannerDlg::OnRunScan() {
    if (!prepared_ || running_) return;
    ShowWindow(SW_HIDE);
    {
        CScanProgressDlg progress(prepared_, this);
        running_ = &progress;
        progress.DoModal();
        running_ = nullptr;
    }
    ShowWindow(SW_SHOW);
    if (closeRequested_) EndDialog(IDCANCEL);
    else if (reloadPending_) ReloadEngine();
}

void CTervanLiveScannerDlg::OnUpdateBases() {
    const std::wstring bases = GetEngineFolder();
    const std::wstring console = bases.substr(0, bases.rfind(L'\\') + 1) + L"tervscan.exe";
    if (update_.Start(hwnd_, bases, console)) baseSize_.SetWindowText(CString::FormatId(IDS_UPDATING_BASES, L""));
}

void CTervanLiveScannerDlg::OnUpdateFinished() {
    std::vector<std::wstring> lines;
    const Update::BaseUpdater::Outcome outcome = update_.Finish(lines);
    baseSize_.SetWindowText(baseText_.c_str());
    if (outcome == Update::BaseUpdater::Updated) {
        if (running_) reloadPending_ = true;
        else ReloadEngine();
    }
    std::wstring text;
    for (const std::wstring& line : lines) text += line + L"\n";
    ::MessageBoxW(hwnd_, text.c_str(), CString::Load(IDS_UPDATE_TITLE).c_str(),
                  MB_OK | (outcome == Update::BaseUpdater::Failed ? MB_ICONWARNING : MB_ICONINFORMATION));
}

void CTervanLiveScannerDlg::ReloadEngine() {
    reloadPending_ = false;
    AvEngineManager::Get().ReloadEngine(GetEngineFolder());
}

void CTervanLiveScannerDlg::OnCancel() {
    if (running_) {
        // Closing the program during a scan: the scan's dialog goes first (and stops the scan).
        closeRequested_ = true;
        running_->PostMessage(WM_CLOSE);
        return;
    }
    CDialog::OnCancel();
}

void CTervanLiveScannerDlg::OnOK() {
    if (running_) return;
    CDialog::OnOK();
}

bool CTervanLiveScannerDlg::OnCommand(UINT id, UINT code, HWND) {
    if (code != BN_CLICKED) return false;
    switch (id) {
    case IDC_QUICK_SCAN:
        quickScanRequested();
        return true;
    case IDC_FULL_SCAN:
        fullScanRequested();
        return true;
    case IDC_CUSTOM_SCAN:
        customScanRequested();
        return true;
    case IDC_FILE_REPOSITORY:
        fileRepositoryRequested();
        return true;
    case IDC_BASE_SIZE:  // a click on the line (STN_CLICKED is BN_CLICKED's value)
        OnUpdateBases();
        return true;
    default:
        return false;
    }
}

bool CTervanLiveScannerDlg::OnMessage(UINT message, WPARAM wParam, LPARAM, LRESULT& result) {
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            CAboutDlg about(this);  // modal over the main window
            about.DoModal();
            return true;
        }
        if ((wParam & 0xFFF0) == IDM_UPDATEBASES) {
            OnUpdateBases();
            return true;
        }
        return false;
    case WM_SETCURSOR:
        // The "Virus base" line is a link to the update.
        if (reinterpret_cast<HWND>(wParam) != baseSize_.GetSafeHwnd()) return false;
        ::SetCursor(::LoadCursorW(nullptr, IDC_HAND));
        result = TRUE;
        return true;
    case WM_UPDATE_PROGRESS:
        if (update_.Running()) baseSize_.SetWindowText(CString::FormatId(IDS_UPDATING_BASES, update_.Status().c_str()));
        return true;
    case WM_UPDATE_FINISHED:
        OnUpdateFinished();
        return true;
    case WM_PAINT:
        return PaintMinimisedIcon(hwnd_, icon_);
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<LRESULT>(icon_);
        return true;
    case WM_DROPFILES:
        OnDropFiles(reinterpret_cast<HDROP>(wParam));
        return false;
    case WM_RUN_SCAN:
        OnRunScan();
        result = 0;
        return true;
    case WM_DPICHANGED_MESSAGE:
        // Moved to a monitor of another scale: the system scales the dialog, its own fonts and
        // pictures are made again for the new size.
        SetUpButtons();
        return false;
    default:
        return false;
    }
}
