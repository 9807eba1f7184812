// The untreated-files deletion dialog.
#include "dialogs/DeleteFileDlg.h"

#include "dialogs/ListRowTip.h"
#include "dialogs/MinimisedIcon.h"
#include "framework/App.h"
#include "framework/String.h"
#include "quarantine/QuarantineManager.h"
#include "quarantine/SafePaths.h"
#include "resources/resource.h"

TervanLiveDeleteFileDlg::TervanLiveDeleteFileDlg(UntreatedList& untreated, CWnd* parent)
    : TervanLiveDeleteFileDlg(untreated, parent, AvQuarantineManager::Get()) {}

TervanLiveDeleteFileDlg::TervanLiveDeleteFileDlg(UntreatedList& untreated, CWnd* parent,
                                                 AvQuarantineManager& quarantine)
    : CDialog(IDD_DELETE_FILES, parent),
      quarantine_(quarantine),
      icon_(::LoadIconW(CWinApp::Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME))),
      untreated_(untreated) {}

void TervanLiveDeleteFileDlg::DoDataExchange() {
    fileList_.SubclassDlgItem(IDC_UNTREATED_LIST, this);
    frame_.SubclassDlgItem(IDC_DELETE_FRAME, this);
    explanation_.SubclassDlgItem(IDC_DELETE_EXPLANATION, this);
    selectAll_.SubclassDlgItem(IDC_DELETE_SELECT_ALL, this);
    deselect_.SubclassDlgItem(IDC_DELETE_DESELECT, this);
    deleteSelected_.SubclassDlgItem(IDC_DELETE_SELECTED, this);
}

BOOL TervanLiveDeleteFileDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));

    Register(this);
    AddControl(&fileList_, 0, AnchorX | AnchorY);
    AddControl(&frame_, 0, AnchorX);
    AddControl(&explanation_, 0, AnchorX);
    AddControl(&deleteSelected_, AnchorX | AnchorY, 0);
    AddControl(&selectAll_, AnchorY, 0);
    AddControl(&deselect_, AnchorY, 0);

    SetWindowText(CString::Load(IDS_APP_TITLE));
    frame_.SetWindowText(CString::Load(IDS_DELETE_STATISTICS));
    explanation_.SetWindowText(CString::Load(IDS_NOT_TREATED));
    selectAll_.SetWindowText(CString::Load(IDS_SELECT_ALL));
    deselect_.SetWindowText(CString::Load(IDS_DESELECT));
    deleteSelected_.SetWindowText(CString::Load(IDS_DELETE_SELECTED));

    fileList_.SetExtendedStyle(fileList_.GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_INFOTIP);
    const int width = fileList_.GetClientRect().right;
    fileList_.InsertColumn(0, CString::Load(IDS_DELETE_FILE_NAME), LVCFMT_LEFT, static_cast<int>(width * double(0.5f)));
    fileList_.InsertColumn(1, CString::Load(IDS_DELETE_VIRUS_NAME), LVCFMT_CENTER, static_cast<int>(width * double(0.2f)));
    // Why a file could not be deleted, so that a row left checked is never left without a word.
    fileList_.InsertColumn(2, CString::Load(IDS_DELETE_RESULT), LVCFMT_LEFT, static_cast<int>(width * double(0.3f)));

    for (const UntreatedEntry& entry : untreated_) {
        const int row = fileList_.InsertItem(fileList_.GetItemCount(), entry.threat.object);
        fileList_.SetItemText(row, 1, entry.threat.name);
    }
    return TRUE;
}

void TervanLiveDeleteFileDlg::Layout() {
    FormLayout::Layout();
    if (!LayoutDialog()) return;
    const int rest = fileList_.GetClientRect().right - fileList_.GetColumnWidth(1) - fileList_.GetColumnWidth(2);
    fileList_.SetColumnWidth(0, rest > 0 ? rest : 0);
}

bool TervanLiveDeleteFileDlg::OnCommand(UINT id, UINT code, HWND) {
    if (code != BN_CLICKED) return false;
    switch (id) {
    case IDC_DELETE_SELECTED:
        OnDeleteSelected();
        return true;
    case IDC_DELETE_SELECT_ALL:
        CheckAll(true);
        return true;
    case IDC_DELETE_DESELECT:
        CheckAll(false);
        return true;
    default:
        return false;
    }
}

bool TervanLiveDeleteFileDlg::OnNotify(NMHDR* header, LRESULT* result) {
    if (header->idFrom != IDC_UNTREATED_LIST || header->code != LVN_GETINFOTIPW) return false;
    // A reason is often longer than its column.
    FillTipWithCutRow(fileList_, reinterpret_cast<NMLVGETINFOTIPW*>(header));
    *result = 0;
    return true;
}

bool TervanLiveDeleteFileDlg::OnMessage(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
    switch (message) {
    case WM_PAINT:
        return PaintMinimisedIcon(hwnd_, icon_);
    default:
        return OnLayoutMessage(message, lParam, result);
    }
}

std::vector<int> TervanLiveDeleteFileDlg::GetCheckedRows() const {
    std::vector<int> rows;
    for (int row = 0; row < fileList_.GetItemCount(); ++row)
        if (fileList_.GetCheck(row)) rows.push_back(row);
    return rows;
}

void TervanLiveDeleteFileDlg::RemoveRow(int row, UntreatedList::iterator entry, std::vector<int>& laterRows) {
    fileDeleted(&entry->threat, entry->row);
    fileList_.DeleteItem(row);
    untreated_.erase(entry);
    for (int& later : laterRows)
        if (later > row) --later;
}

void TervanLiveDeleteFileDlg::ReportNotDeleted(int row, const UntreatedEntry& entry, const Reason& why) {
    const std::wstring text = CString::FormatId(IDS_ACTION_NOT_DELETED, ReasonText(why).c_str());
    fileList_.SetItemText(row, 2, text);
    fileNotDeleted(entry.row, text);
}

void TervanLiveDeleteFileDlg::OnDeleteSelected() {
    if (deleting_) return;
    deleting_ = true;
    std::vector<int> rows = GetCheckedRows(), withoutCopy;
    Reason firstNoCopy;
    while (!rows.empty()) {
        const int row = rows.front();
        rows.erase(rows.begin());
        if (row >= 0 && static_cast<size_t>(row) < untreated_.size()) {
            UntreatedList::iterator entry = std::next(untreated_.begin(), row);
            Reason why;
            if (DeleteWithCopy(*entry, why)) {
                RemoveRow(row, entry, rows);
                for (int& earlier : withoutCopy)
                    if (earlier > row) --earlier;
            } else {
                ReportNotDeleted(row, *entry, why);
                if (why.id == IDS_REASON_NO_COPY && Quarantine::IsSafeOriginalPath(entry->threat.object)) {
                    if (withoutCopy.empty()) firstNoCopy = why;
                    withoutCopy.push_back(row);
                }
            }
        }
        PumpMessages();
    }
    if (!withoutCopy.empty()) OfferDeletionWithoutCopy(withoutCopy, firstNoCopy);
    deleting_ = false;
}

void TervanLiveDeleteFileDlg::OfferDeletionWithoutCopy(std::vector<int> rows, const Reason& firstReason) {
    const std::wstring question = CString::FormatId(IDS_CONFIRM_DELETE_WITHOUT_COPY, std::to_wstring(rows.size()).c_str(),
                                                    ReasonText(firstReason).c_str());
    if (AppMessageBox(question, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES) return;
    while (!rows.empty()) {
        const int row = rows.front();
        rows.erase(rows.begin());
        if (row < 0 || static_cast<size_t>(row) >= untreated_.size()) continue;
        UntreatedList::iterator entry = std::next(untreated_.begin(), row);
        Reason why;
        if (quarantine_.RemoveWithoutCopy(entry->threat, why)) {
            RemoveRow(row, entry, rows);
        } else {
            ReportNotDeleted(row, *entry, why);
        }
        PumpMessages();
    }
}

bool TervanLiveDeleteFileDlg::DeleteWithCopy(UntreatedEntry& entry, Reason& why) {
    return quarantine_.RemoveWithCopy(entry.threat, entry.quarantined, why);
}

void TervanLiveDeleteFileDlg::CheckAll(bool checked) {
    for (int row = 0; row < fileList_.GetItemCount(); ++row) fileList_.SetCheck(row, checked);
}
