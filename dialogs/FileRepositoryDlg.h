// TervanLiveFileRepositoryDlg ("Restore point"): lists the quarantine's entries by day, optionally
// with those of other programs, and restores, saves or deletes the checked ones through file actions.
// Entries that an action could not handle keep their rows and are listed with the reason afterwards.
#pragma once

#include "dialogs/FormLayout.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"
#include "framework/Gdi.h"

#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <list>
#include <set>
#include <string>
#include <utility>
#include <vector>

class AvQuarantineManager;
class CFileAction;

class TervanLiveFileRepositoryDlg : public CDialog, public FormLayout {
public:
    boost::signals2::signal<void(int)> dateFilter;  // index into the date list; slot: FillList

    explicit TervanLiveFileRepositoryDlg(CWnd* parent);
    TervanLiveFileRepositoryDlg(CWnd* parent, AvQuarantineManager& quarantine);

    void Layout() override;
    // True while an action works through the checked entries (commands for actions are ignored then).
    bool IsBusy() const { return actionRunning_; }

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    bool OnCommand(UINT id, UINT code, HWND control) override;
    bool OnNotify(NMHDR* header, LRESULT* result) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    enum FilterMode { OwnEntries = 1, AllEntries = 2 };

    void FillDateCombo();
    void FillList(int dateIndex);
    void OnFilterModeChanged();
    // Fills the dates and the list again, keeping the chosen date; the given entries are checked.
    void Refill(const std::set<int>& checkedIdentifiers);
    size_t CheckedCount();
    // Runs the action on the checked entries; resultText (with the count handled) goes into the
    // information frame, and what could not be handled is listed with its reasons.
    void RunAction(CFileAction& action, UINT resultText);
    // The entry's original path, what the copy is and its size (the list's tooltip).
    std::wstring EntryDescription(int identifier) const;
    void CheckAll(bool checked);
    bool Shown(int32_t originCode) const { return filterMode_ == AllEntries || originCode == 100; }

    AvQuarantineManager& quarantine_;
    std::vector<std::wstring> dates_;  // [0]: the placeholder of "All records"
    std::list<std::pair<int, int>> rowMap_;  // (row, entry identifier), in row order
    CListCtrl list_;
    CComboBox dateCombo_;
    CButton restore_, deselect_, selectAll_, showAll_, saveAs_, delete_;
    CStatic frame_, listLabel_, information_, actionsLabel_;
    CMenu menu_;
    int filterMode_ = OwnEntries;
    bool actionRunning_ = false;  // action commands wait until the running action is done
};

// Local time of seconds since 1970 in a wcsftime format; empty when it cannot be converted or is too long.
std::wstring FormatEntryTime(int64_t time, const wchar_t* format);
