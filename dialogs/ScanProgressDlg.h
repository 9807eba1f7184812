// CScanProgressDlg: runs one scan task and shows it — the object being scanned, percentage, elapsed
// time, counters and every threat — with pause, continue and abort; at the end it offers the untreated
// threats to the deletion dialog. Slots that run on the scan's threads touch controls only through
// messages that the user-interface thread carries out.
#pragma once

#include "dialogs/FormLayout.h"
#include "dialogs/UntreatedEntry.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "scan/EngineManager.h"
#include "scan/ScanReport.h"

#include <boost/signals2/connection.hpp>
#include <boost/thread/mutex.hpp>

#include <atomic>
#include <vector>

class AvQuarantineManager;

class CScanProgressDlg : public CDialog, public FormLayout {
public:
    // The object being scanned is shown a few times a second, whatever the rate of files.
    enum { WM_SCAN_FINISHED = WM_USER + 100, ScanTimerId = 1234, ObjectTimerId = 1235, ObjectTimerMs = 200 };

    boost::signals2::signal<void(int)> timeTick;     // seconds to add; only slot: OnTimeTick
    boost::signals2::signal<void()> statisticsChanged;  // only slot: UpdateStatistics

    CScanProgressDlg(const boost::shared_ptr<AvScanTask>& task, CWnd* parent);
    // With the managers to use (the process's own by default).
    CScanProgressDlg(const boost::shared_ptr<AvScanTask>& task, CWnd* parent, AvEngineManager& engine,
                     AvQuarantineManager& quarantine);
    ~CScanProgressDlg() override;

    const UntreatedList& Untreated() const { return untreated_; }
    // What this scan found and did, as its report says it.
    ScanReport Report() const;
    int Elapsed() const { return elapsed_; }
    bool IsFinished() const { return finished_; }

    void Layout() override;

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    bool OnCommand(UINT id, UINT code, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    bool OnNotify(NMHDR* header, LRESULT* result) override;

private:
    enum { WM_START_SCAN_TIMER = WM_USER + 101, WM_KILL_SCAN_TIMER = WM_USER + 102, WM_SCAN_PAUSED = WM_USER + 103 };

    // Engine manager slots (worker thread unless said otherwise).
    void OnStarted();
    void OnPaused();
    void OnResumed();
    void OnPump();  // user-interface thread, while Stop waits
    void OnProgress(int percent);
    void OnFinished(bool completed);  // worker, or the destroy handler
    void OnObjectScanned(const wchar_t* object, AvCore::ObjectType type, bool inner);
    void ShowLatestObject();  // user-interface thread, on the object timer
    void OnCureWithheld(const AvCore::Threat* threat, const Reason& why);
    void OnThreatHandled(const AvCore::Threat* threat, bool cured, bool quarantined);
    void OnObjectNotScanned(const wchar_t* object, const Reason& why);
    // User-interface thread.
    void OnTimeTick(int seconds);
    void UpdateStatistics();
    void OnFileDeleted(const AvCore::Threat* threat, int row);
    void OnFileNotDeleted(int row, const std::wstring& text);
    void OnScanEnded();
    void OnTakeAction();
    void OnPause();
    void OnAbort();
    void OnDestroy();
    void OnThreatMenu();
    void CopySelectedRows();
    void OpenContainingFolder();
    void SaveReportAs();
    void SaveOwnReport();
    bool OnUserInterfaceThread() const;

    AvEngineManager& engine_;
    AvQuarantineManager& quarantine_;
    HICON icon_;
    UntreatedList untreated_;
    int elapsed_ = 0;
    boost::shared_ptr<AvScanTask> task_;
    ScanStatistics* statistics_;
    std::atomic<bool> paused_{false};  // as the Pause button shows it (set on the user-interface thread)
    std::atomic<bool> finished_{false};
    bool scanStarted_ = false;  // the engine took the task: a close asks before it stops a scan
    std::atomic<bool> completed_{false};
    bool destroying_ = false;  // no end-of-scan update for a dialog that is going away
    time_t started_ = 0;
    std::wstring withheld_;    // why the next reported threat was not cured (worker thread only)
    boost::mutex objectMutex_;  // guards the two below, written by the worker, read on the timer
    std::wstring latestObject_;
    bool objectChanged_ = false;
    std::vector<boost::signals2::connection> scanConnections_;
    boost::signals2::scoped_connection tickConnection_, statisticsConnection_;

    CStatic summaryFrame_, elapsedText_, checkedText_, ratingText_, foundText_, curedText_, deletedText_;
    CStatic progressFrame_, objectText_, percentText_;
    CProgressCtrl progressBar_;
    CListCtrl threatList_;
    CButton takeAction_, pause_, abort_;
};

// "%H:%M:%S" of a number of seconds; the hours wrap after 23.
std::wstring FormatTimeSpan(int seconds);
