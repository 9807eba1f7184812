// TervanLiveDeleteFileDlg: lists the untreated threats of the last scan and deletes the files the user
// checks, each copied into the quarantine first unless a copy is there already.
#pragma once

#include "dialogs/FormLayout.h"
#include "dialogs/UntreatedEntry.h"
#include "framework/Controls.h"
#include "framework/Dialog.h"

#include <boost/signals2/signal.hpp>

#include <vector>

class AvQuarantineManager;

class TervanLiveDeleteFileDlg : public CDialog, public FormLayout {
public:
    // After each deletion: the threat (valid during the call) and its row in the progress dialog.
    boost::signals2::signal<void(const AvCore::Threat*, int)> fileDeleted;
    // After a deletion that failed: the row in the progress dialog and what the user was told.
    boost::signals2::signal<void(int, const std::wstring&)> fileNotDeleted;

    TervanLiveDeleteFileDlg(UntreatedList& untreated, CWnd* parent);
    TervanLiveDeleteFileDlg(UntreatedList& untreated, CWnd* parent, AvQuarantineManager& quarantine);

    void Layout() override;

protected:
    void DoDataExchange() override;
    BOOL OnInitDialog() override;
    bool OnCommand(UINT id, UINT code, HWND control) override;
    bool OnNotify(NMHDR* header, LRESULT* result) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) override;

private:
    std::vector<int> GetCheckedRows() const;
    void OnDeleteSelected();
    // Copies the file into the quarantine unless a copy is there, then deletes it; false, with the
    // reason, when either step failed (the file is then as it was).
    bool DeleteWithCopy(UntreatedEntry& entry, Reason& why);
    // The rows whose files could not be copied (too large for the quarantine, say) are deleted
    // without a copy when the user, warned that this cannot be undone, says so.
    void OfferDeletionWithoutCopy(std::vector<int> rows, const Reason& firstReason);
    void RemoveRow(int row, UntreatedList::iterator entry, std::vector<int>& laterRows);
    // The row, and the scan's row, say why the file is still there.
    void ReportNotDeleted(int row, const UntreatedEntry& entry, const Reason& why);
    void CheckAll(bool checked);

    AvQuarantineManager& quarantine_;
    HICON icon_;
    CListCtrl fileList_;
    UntreatedList& untreated_;
    CStatic frame_, explanation_;
    CButton selectAll_, deselect_, deleteSelected_;
    bool deleting_ = false;  // a press while files are being deleted is ignored
};
