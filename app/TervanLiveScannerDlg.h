// CTervanLiveScannerDlg: the main window. Loads the engine and starts the quarantine while it opens,
// shows the engine's version and base size, and runs quick, full, custom and dropped-file scans and
// the "Restore point" browser.
#pragma once

#include "app/BaseUpdateRunner.h"
#include "controls/DoubleLineTextButton.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "scan/ScanTask.h"

#include <boost/signals2/connection.hpp>
#include <boost/signals2/signal.hpp>

#include <shellapi.h>

#include <list>
#include <string>
#include <vector>

class CTervanLiveScannerDlg : public CDialog {
public:
    // WM_DPICHANGED, which the headers for the oldest Windows this runs on do not name.
    enum {
        WM_RUN_SCAN = WM_USER + 123,
        WM_UPDATE_PROGRESS = WM_USER + 124,
        WM_UPDATE_FINISHED = WM_USER + 125,
        IDM_ABOUTBOX = 0x0010,
        IDM_UPDATEBASES = 0x0020,
        WM_DPICHANGED_MESSAGE = 0x02E0
    };

    boost::signals2::signal<void()> quickScanRequested;
    boost::signals2::signal<void()> fullScanRequested;
    boost::signals2::signal<void()> customScanRequested;
    boost::signals2::signal<void()> fileRepositoryRequested;

    explicit CTervanLiveScannerDlg(CWnd* parent = nullptr);

    const boost::shared_ptr<AvScanTask>& PreparedTask() const { return prepared_; }
    // Paths named on the command line (Explorer's "Scan with Tervan! Scanner"): a custom scan of
    // them, every file type, starts as soon as the window is up.
    void ScanAtStart(const std::list<std::wstring>& targets);

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    bool OnCommand(UINT id, UINT code, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
    void OnCancel() override;
    void OnOK() override;

private:
    void OnQuickScan();
    void OnFullScan();
    void OnCustomScan();
    void OnFileRepository();
    void OnEngineLoaded(bool loaded);
    void OnQuarantineReady(bool ready);
    void OnDropFiles(HDROP drop);
    void OnRunScan();
    void SetUpButtons();
    // Bases from the mirrors (system menu, or a click on the "Virus base" line); the engine is loaded
    // again with them once no scan runs.
    void OnUpdateBases();
    void OnUpdateFinished();
    void ReloadEngine();

    HICON icon_;
    boost::shared_ptr<AvScanTask> prepared_;
    CDoubleLineTextButton logo_;
    CStatic title_;
    CDoubleLineTextButton quickScan_, fullScan_, customScan_, fileRepository_;
    CStatic coreVersion_, baseSize_, systemScanFrame_, repositoryFrame_;
    std::vector<boost::signals2::scoped_connection> connections_;
    CDialog* running_ = nullptr;  // the progress dialog while a scan runs
    bool closeRequested_ = false;
    BaseUpdateRunner update_{WM_UPDATE_PROGRESS, WM_UPDATE_FINISHED};
    std::wstring baseText_;        // the "Virus base" line while no update runs
    bool reloadPending_ = false;   // new bases arrived during a scan
};

// "a.b.c.d" of a core version packed most significant byte first.
std::wstring FormatCoreVersion(uint32_t version);

// The paths after the program's own name on a command line, each made a full path against the
// current folder (the engine's loading changes it later); empty when there are none.
std::list<std::wstring> ScanTargetsFromCommandLine(const wchar_t* commandLine);
