// The scan progress dialog.
#include "dialogs/ScanProgressDlg.h"

#include "dialogs/DeleteFileDlg.h"
#include "dialogs/ListRowTip.h"
#include "dialogs/MinimisedIcon.h"
#include "framework/App.h"
#include "framework/String.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"

#include "base/WinHandle.h"

#include <boost/bind/bind.hpp>

#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <cstring>
#include <ctime>
#include <vector>

using boost::placeholders::_1;
using boost::placeholders::_2;
using boost::placeholders::_3;

std::wstring FormatTimeSpan(int seconds) {
    return CString::Format(L"%02ld:%02ld:%02ld", static_cast<long>((seconds / 3600) % 24),
                           static_cast<long>((seconds / 60) % 60), static_cast<long>(seconds % 60));
}

CScanProgressDlg::CScanProgressDlg(const boost::shared_ptr<AvScanTask>& task, CWnd* parent)
    : CScanProgressDlg(task, parent, AvEngineManager::Get(), AvQuarantineManager::Get()) {}

CScanProgressDlg::CScanProgressDlg(const boost::shared_ptr<AvScanTask>& task, CWnd* parent, AvEngineManager& engine,
                                   AvQuarantineManager& quarantine)
    : CDialog(IDD_SCAN_PROGRESS, parent),
      engine_(engine),
      quarantine_(quarantine),
      icon_(::LoadIconW(CWinApp::Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      task_(task),
      statistics_(&task->stats) {}

CScanProgressDlg::~CScanProgressDlg() {
    for (auto& connection : scanConnections_) connection.disconnect();
}

void CScanProgressDlg::DoDataExchange() {
    const struct {
        CWnd* control;
        UINT id;
    } controls[] = {{&summaryFrame_, IDC_STATISTICS_FRAME}, {&elapsedText_, IDC_ELAPSED}, {&checkedText_, IDC_CHECKED},
                    {&ratingText_, IDC_RATING},            {&foundText_, IDC_FOUND},     {&curedText_, IDC_CURED},
                    {&deletedText_, IDC_DELETED},          {&progressFrame_, IDC_PROGRESS_FRAME},
                    {&objectText_, IDC_CURRENT_OBJECT},    {&progressBar_, IDC_PROGRESS},
                    {&percentText_, IDC_PERCENT},          {&threatList_, IDC_THREAT_LIST},
                    {&takeAction_, IDC_TAKE_ACTION},       {&pause_, IDC_PAUSE},
                    {&abort_, IDC_ABORT}};
    for (const auto& c : controls) c.control->SubclassDlgItem(c.id, this);
}

BOOL CScanProgressDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

    Register(this);
    AddControl(&progressBar_, 0, AnchorX);
    AddControl(&percentText_, AnchorX, 0);
    AddControl(&objectText_, 0, AnchorX);
    AddControl(&progressFrame_, 0, AnchorX);
    AddControl(&threatList_, 0, AnchorX | AnchorY);
    AddControl(&pause_, AnchorX | AnchorY, 0);
    AddControl(&abort_, AnchorX | AnchorY, 0);
    AddControl(&takeAction_, AnchorY, 0);

    summaryFrame_.SetWindowText(CString::Load(IDS_STATISTICS));
    progressFrame_.SetWindowText(CString::Load(IDS_SCAN_PROGRESS));
    takeAction_.SetWindowText(CString::Load(IDS_EXECUTE_ACTION));
    abort_.SetWindowText(CString::Load(IDS_ABORT));

    std::wstring caption = CString::Load(IDS_APP_TITLE) + L" - ";
    switch (task_->type) {
    case AvScanTask::Quick:
        caption += CString::Load(IDS_QUICK_SCAN);
        break;
    case AvScanTask::Full:
        caption += CString::Load(IDS_FULL_SCAN);
        break;
    case AvScanTask::Custom:
        caption += CString::Load(IDS_CUSTOM_SCAN);
        break;
    default:
        break;
    }
    SetWindowText(caption);

    progressBar_.SetRange(0, 100);
    started_ = std::time(nullptr);
    // A path cut off by its column shows whole in a tooltip.
    threatList_.SetExtendedStyle(threatList_.GetExtendedStyle() | LVS_EX_INFOTIP | LVS_EX_FULLROWSELECT);
    const int width = threatList_.GetClientRect().right;
    threatList_.InsertColumn(0, CString::Load(IDS_FILE_NAME), LVCFMT_LEFT, static_cast<int>(width * double(0.6f)));
    threatList_.InsertColumn(1, CString::Load(IDS_VIRUS_NAME), LVCFMT_LEFT, static_cast<int>(width * double(0.2f)));
    threatList_.InsertColumn(2, CString::Load(IDS_ACTION), LVCFMT_CENTER, static_cast<int>(width * double(0.2f)));

    scanConnections_ = {engine_.started.connect(boost::bind(&CScanProgressDlg::OnStarted, this)),
                        engine_.paused.connect(boost::bind(&CScanProgressDlg::OnPaused, this)),
                        engine_.resumed.connect(boost::bind(&CScanProgressDlg::OnResumed, this)),
                        engine_.pump.connect(boost::bind(&CScanProgressDlg::OnPump, this)),
                        engine_.progress.connect(boost::bind(&CScanProgressDlg::OnProgress, this, _1)),
                        engine_.finished.connect(boost::bind(&CScanProgressDlg::OnFinished, this, _1)),
                        engine_.objectScanned.connect(boost::bind(&CScanProgressDlg::OnObjectScanned, this, _1, _2, _3)),
                        engine_.cureWithheld.connect(boost::bind(&CScanProgressDlg::OnCureWithheld, this, _1, _2)),
                        engine_.threatHandled.connect(boost::bind(&CScanProgressDlg::OnThreatHandled, this, _1, _2, _3)),
                        engine_.objectNotScanned.connect(boost::bind(&CScanProgressDlg::OnObjectNotScanned, this, _1, _2))};
    tickConnection_ = timeTick.connect(boost::bind(&CScanProgressDlg::OnTimeTick, this, _1));
    statisticsConnection_ = statisticsChanged.connect(boost::bind(&CScanProgressDlg::UpdateStatistics, this));

    OnTimeTick(0);
    OnProgress(0);
    ::SetTimer(hwnd_, ObjectTimerId, ObjectTimerMs, nullptr);

    if (!engine_.StartScan(task_)) {
        AppMessageBox(L"Unable to start scanning: AvEngine initialization failed!", MB_OK | MB_ICONERROR);
        return FALSE;
    }
    scanStarted_ = true;
    return TRUE;
}

void CScanProgressDlg::Layout() {
    // The list is drawn once, with its new column width: drawn between the two, row 0 kept pieces of
    // its old, shortened text.
    const bool list = threatList_.GetSafeHwnd() != nullptr;
    if (list) threatList_.SendMessage(WM_SETREDRAW, FALSE, 0);
    FormLayout::Layout();
    if (LayoutDialog()) {
        const int rest = threatList_.GetClientRect().right - threatList_.GetColumnWidth(1) - threatList_.GetColumnWidth(2);
        threatList_.SetColumnWidth(0, rest > 0 ? rest : 0);
    }
    if (list) {
        threatList_.SendMessage(WM_SETREDRAW, TRUE, 0);
        ::RedrawWindow(threatList_.GetSafeHwnd(), nullptr, nullptr, RDW_ERASE | RDW_FRAME | RDW_INVALIDATE | RDW_ALLCHILDREN);
    }
}

bool CScanProgressDlg::OnUserInterfaceThread() const {
    return ::GetWindowThreadProcessId(hwnd_, nullptr) == ::GetCurrentThreadId();
}

void CScanProgressDlg::OnStarted() { PostMessage(WM_START_SCAN_TIMER); }

// The state changes on the user-interface thread, in the order of the clicks before it: a second click
// on "Pause" made before the scan confirmed the first still asks for a pause, as its label said.
void CScanProgressDlg::OnPaused() { PostMessage(WM_SCAN_PAUSED, TRUE); }

void CScanProgressDlg::OnResumed() { PostMessage(WM_SCAN_PAUSED, FALSE); }

void CScanProgressDlg::OnPump() { PumpMessages(); }

void CScanProgressDlg::OnProgress(int percent) {
    if (static_cast<unsigned>(percent) > 100) return;
    progressBar_.SetPos(percent);
    percentText_.SetWindowText(CString::Format(L"%i%%", percent));
}

void CScanProgressDlg::OnFinished(bool completed) {
    completed_ = completed;
    finished_ = true;
    tickConnection_.disconnect();
    for (auto& connection : scanConnections_) connection.disconnect();
    if (OnUserInterfaceThread())
        ::KillTimer(hwnd_, ScanTimerId);
    else
        PostMessage(WM_KILL_SCAN_TIMER);
    PostMessage(WM_SCAN_FINISHED);
}

void CScanProgressDlg::OnObjectScanned(const wchar_t* object, AvCore::ObjectType, bool) {
    // Kept for the next tick of the object timer: a window message for every file would make the
    // scan wait for the user-interface thread thousands of times a second.
    boost::mutex::scoped_lock lock(objectMutex_);
    latestObject_ = object;
    objectChanged_ = true;
}

void CScanProgressDlg::ShowLatestObject() {
    std::wstring object;
    {
        boost::mutex::scoped_lock lock(objectMutex_);
        if (!objectChanged_ || finished_) return;
        objectChanged_ = false;
        object = latestObject_;
    }
    objectText_.SetWindowText(object);
}

void CScanProgressDlg::OnCureWithheld(const AvCore::Threat*, const Reason& why) { withheld_ = ReasonText(why); }

void CScanProgressDlg::OnThreatHandled(const AvCore::Threat* threat, bool cured, bool quarantined) {
    const int row = threatList_.GetItemCount();
    threatList_.InsertItem(row, threat->object);
    threatList_.SetItemText(row, 1, threat->name);
    if (cured)
        threatList_.SetItemText(row, 2, CString::Load(IDS_ACTION_CURED));
    else if (!withheld_.empty())
        threatList_.SetItemText(row, 2, CString::FormatId(IDS_ACTION_NOT_CURED, withheld_.c_str()));
    else
        threatList_.SetItemText(row, 2, CString::Load(IDS_SKIPPED));
    withheld_.clear();
    if (!cured) untreated_.push_back(UntreatedEntry{row, *threat, quarantined});
    // The counters move with the list, not a tick later.
    statisticsChanged();
}

void CScanProgressDlg::OnObjectNotScanned(const wchar_t* object, const Reason& why) {
    // Never left at a count: each file that could not be scanned is named with its reason.
    const int row = threatList_.GetItemCount();
    threatList_.InsertItem(row, object);
    threatList_.SetItemText(row, 2, CString::FormatId(IDS_ACTION_NOT_SCANNED, ReasonText(why).c_str()));
}

void CScanProgressDlg::OnTimeTick(int seconds) {
    elapsed_ += seconds;
    elapsedText_.SetWindowText(CString::FormatId(IDS_EXHAUSTED_TIME, FormatTimeSpan(elapsed_).c_str()));
    statisticsChanged();
}

void CScanProgressDlg::UpdateStatistics() {
    const int checked = statistics_->checked;
    checkedText_.SetWindowText(CString::FormatId(IDS_CHECKED, checked));
    foundText_.SetWindowText(CString::FormatId(IDS_FOUND, static_cast<int>(statistics_->found)));
    curedText_.SetWindowText(CString::FormatId(IDS_CURED, static_cast<int>(statistics_->cured)));
    deletedText_.SetWindowText(CString::FormatId(IDS_DELETED, static_cast<int>(statistics_->deleted)));
    ratingText_.SetWindowText(CString::FormatId(IDS_SCANNING_RATING, elapsed_ != 0 ? checked / elapsed_ : 0));
}

void CScanProgressDlg::OnFileDeleted(const AvCore::Threat*, int row) {
    if (row >= threatList_.GetItemCount()) return;
    threatList_.SetItemText(row, 2, CString::Load(IDS_ACTION_DELETED));
    ++statistics_->deleted;
}

void CScanProgressDlg::OnFileNotDeleted(int row, const std::wstring& text) {
    if (row < threatList_.GetItemCount()) threatList_.SetItemText(row, 2, text);
}

void CScanProgressDlg::OnScanEnded() {
    if (destroying_) return;
    ::KillTimer(hwnd_, ObjectTimerId);
    const int notScanned = statistics_->notScanned;
    if (notScanned > 0)
        objectText_.SetWindowText(CString::FormatId(completed_ ? IDS_FINISHED_NOT_SCANNED : IDS_ABORTED_NOT_SCANNED, notScanned));
    else if (completed_ && statistics_->found == 0)
        objectText_.SetWindowText(CString::Load(IDS_FINISHED_NO_THREATS));  // an empty list says nothing by itself
    else
        objectText_.SetWindowText(CString::Load(completed_ ? IDS_SCANNING_FINISHED : IDS_SCAN_ABORTED));
    OnTimeTick(0);
    pause_.ShowWindow(SW_HIDE);
    abort_.SetWindowText(CString::Load(IDS_CLOSE));
    takeAction_.EnableWindow(!untreated_.empty());
    SaveOwnReport();
    OnTakeAction();
}

void CScanProgressDlg::OnTakeAction() {
    if (untreated_.empty() || destroying_) return;
    ShowWindow(SW_HIDE);
    {
        TervanLiveDeleteFileDlg deletion(untreated_, this, quarantine_);
        boost::signals2::scoped_connection reports =
            deletion.fileDeleted.connect(boost::bind(&CScanProgressDlg::OnFileDeleted, this, _1, _2));
        boost::signals2::scoped_connection failures =
            deletion.fileNotDeleted.connect(boost::bind(&CScanProgressDlg::OnFileNotDeleted, this, _1, _2));
        deletion.DoModal();
    }
    ShowWindow(SW_SHOW);
    takeAction_.EnableWindow(!untreated_.empty());
    statisticsChanged();
    SaveOwnReport();  // with what the user deleted
}

ScanReport CScanProgressDlg::Report() const {
    ScanReport report;
    report.started = started_;
    const UINT types[] = {IDS_QUICK_SCAN, IDS_FULL_SCAN, IDS_CUSTOM_SCAN};
    if (task_->type >= AvScanTask::Quick && task_->type <= AvScanTask::Custom) report.scanType = CString::Load(types[task_->type - 1]);
    report.targets.assign(task_->targets.begin(), task_->targets.end());
    report.elapsedSeconds = elapsed_;
    report.completed = completed_;
    report.checked = statistics_->checked;
    report.found = statistics_->found;
    report.cured = statistics_->cured;
    report.deleted = statistics_->deleted;
    report.notScanned = statistics_->notScanned;
    for (int row = 0; row < threatList_.GetItemCount(); ++row)
        report.rows.push_back({threatList_.GetItemText(row, 0), threatList_.GetItemText(row, 1), threatList_.GetItemText(row, 2)});
    return report;
}

void CScanProgressDlg::SaveOwnReport() { SaveAutomaticReport(Report()); }

bool CScanProgressDlg::OnNotify(NMHDR* header, LRESULT* result) {
    if (header->idFrom != IDC_THREAT_LIST) return false;
    if (header->code == NM_RCLICK) {
        OnThreatMenu();
        *result = 0;
        return true;
    }
    if (header->code == LVN_GETINFOTIPW) {
        FillTipWithCutRow(threatList_, reinterpret_cast<NMLVGETINFOTIPW*>(header));
        *result = 0;
        return true;
    }
    return false;
}

void CScanProgressDlg::OnThreatMenu() {
    POINT cursor;
    if (!::GetCursorPos(&cursor)) return;
    Win::MenuHandle menu(::CreatePopupMenu());
    const bool selected = threatList_.GetSelectedCount() > 0;
    ::AppendMenuW(menu.Get(), MF_STRING | (selected ? 0 : MF_GRAYED), ID_THREAT_COPY, CString::Load(IDS_COPY_ROWS).c_str());
    ::AppendMenuW(menu.Get(), MF_STRING | (selected ? 0 : MF_GRAYED), ID_THREAT_OPEN_FOLDER, CString::Load(IDS_OPEN_FOLDER).c_str());
    ::AppendMenuW(menu.Get(), MF_SEPARATOR, 0, nullptr);
    ::AppendMenuW(menu.Get(), MF_STRING, ID_THREAT_SAVE_REPORT, CString::Load(IDS_SAVE_REPORT).c_str());
    const UINT command = static_cast<UINT>(
        ::TrackPopupMenu(menu.Get(), TPM_RIGHTBUTTON | TPM_NONOTIFY | TPM_RETURNCMD, cursor.x, cursor.y, 0, hwnd_, nullptr));
    if (command) PostMessage(WM_COMMAND, MAKEWPARAM(command, 0));
}

void CScanProgressDlg::CopySelectedRows() {
    std::wstring text;
    for (int row = -1; (row = threatList_.GetNextSelected(row)) >= 0;)
        text += threatList_.GetItemText(row, 0) + L"\t" + threatList_.GetItemText(row, 1) + L"\t" +
                threatList_.GetItemText(row, 2) + L"\r\n";
    if (text.empty() || !::OpenClipboard(hwnd_)) return;
    ::EmptyClipboard();
    if (HGLOBAL memory = ::GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t))) {
        std::memcpy(::GlobalLock(memory), text.c_str(), (text.size() + 1) * sizeof(wchar_t));
        ::GlobalUnlock(memory);
        if (!::SetClipboardData(CF_UNICODETEXT, memory)) ::GlobalFree(memory);  // the clipboard owns it otherwise
    }
    ::CloseClipboard();
}

void CScanProgressDlg::OpenContainingFolder() {
    const int row = threatList_.GetNextSelected(-1);
    if (row < 0) return;
    // An archive member's path goes on inside its archive: show the archive.
    std::wstring path = threatList_.GetItemText(row, 0);
    while (!path.empty() && ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const size_t slash = path.rfind(L'\\');
        path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
    }
    if (path.empty()) return;
    const std::wstring arguments = L"/select,\"" + path + L"\"";
    ::ShellExecuteW(hwnd_, L"open", L"explorer.exe", arguments.c_str(), nullptr, SW_SHOWNORMAL);
}

void CScanProgressDlg::SaveReportAs() {
    std::vector<wchar_t> file(32768, 0);
    const std::wstring initial = CString::Load(IDS_REPORT_FILE_NAME);
    initial.copy(file.data(), initial.size());
    const std::wstring filter = CString::Load(IDS_REPORT_FILE_TYPE) + L'\0' + L"*.txt" + L'\0' + L'\0';
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = hwnd_;
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrDefExt = L"txt";
    dialog.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR | OFN_EXPLORER;
    // In the user's documents: the current folder is the engine's, where a report has no place.
    wchar_t documents[MAX_PATH] = {};
    if (SUCCEEDED(::SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
        dialog.lpstrInitialDir = documents;
    if (!::GetSaveFileNameW(&dialog)) return;
    if (!WriteReport(file.data(), Report()))
        AppMessageBox(CString::FormatId(IDS_REPORT_NOT_SAVED, file.data()), MB_OK | MB_ICONWARNING);
}

void CScanProgressDlg::OnPause() { engine_.pauseRequested = !paused_; }

void CScanProgressDlg::OnAbort() {
    if (finished_) {
        EndDialog(IDOK);
        return;
    }
    if (AppMessageBox(CString::Load(IDS_ABORT_QUESTION), MB_YESNO | MB_ICONQUESTION) == IDYES) engine_.Stop();
}

void CScanProgressDlg::OnDestroy() {
    destroying_ = true;
    if (!finished_) {
        engine_.Stop();
        OnFinished(false);
        SaveOwnReport();  // what was found and cured so far is not lost with the window
    }
}

bool CScanProgressDlg::OnCommand(UINT id, UINT code, HWND) {
    switch (id) {
    case ID_THREAT_COPY:
        CopySelectedRows();
        return true;
    case ID_THREAT_OPEN_FOLDER:
        OpenContainingFolder();
        return true;
    case ID_THREAT_SAVE_REPORT:
        SaveReportAs();
        return true;
    default:
        break;
    }
    if (code != BN_CLICKED) return false;
    switch (id) {
    case IDC_PAUSE:
        OnPause();
        return true;
    case IDC_ABORT:
        OnAbort();
        return true;
    case IDC_TAKE_ACTION:
        OnTakeAction();
        return true;
    default:
        return false;
    }
}

bool CScanProgressDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (message) {
    case WM_PAINT:
        return PaintMinimisedIcon(hwnd_, icon_);
    case WM_TIMER:
        if (wParam == ScanTimerId && !paused_) timeTick(1);
        if (wParam == ObjectTimerId) ShowLatestObject();
        return false;
    case WM_START_SCAN_TIMER:
        if (!finished_) ::SetTimer(hwnd_, ScanTimerId, 1000, nullptr);
        return true;
    case WM_KILL_SCAN_TIMER:
        ::KillTimer(hwnd_, ScanTimerId);
        return true;
    case WM_SCAN_PAUSED:
        paused_ = wParam != FALSE;
        pause_.SetWindowText(CString::Load(paused_ ? IDS_CONTINUE : IDS_PAUSE));
        return true;
    case WM_SCAN_FINISHED:
        OnScanEnded();
        result = 0;
        return true;
    case WM_SYSCOMMAND:
        // The user's close box and Alt+F4 during a scan ask what Abort asks (Escape, and the program
        // closing the window, still end it at once).
        if ((wParam & 0xFFF0) != SC_CLOSE || finished_ || !scanStarted_) return false;
        OnAbort();
        result = 0;
        return true;
    case WM_DESTROY:
        OnDestroy();
        return false;
    default:
        return OnLayoutMessage(message, lParam, result);
    }
}
