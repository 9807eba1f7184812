// The quarantine browser.
#include "dialogs/FileRepositoryDlg.h"

#include "framework/App.h"
#include "framework/String.h"
#include "quarantine/Container.h"
#include "quarantine/FileActions.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"

#include <boost/bind/bind.hpp>

#include <commctrl.h>

#include <ctime>
#include <set>
#include <stdexcept>

namespace {

const wchar_t DateFormat[] = L"%d.%m.%Y";
const wchar_t TimeFormat[] = L"%H:%M %d.%m.%Y";
const size_t FailuresListed = 15;

}  // namespace

std::wstring FormatEntryTime(int64_t time, const wchar_t* format) {
    const __time64_t value = time;
    struct tm local = {};
    if (_localtime64_s(&local, &value) != 0) return std::wstring();
    wchar_t text[128] = {};
    if (std::wcsftime(text, 128, format, &local) == 0) return std::wstring();
    return text;
}

TervanLiveFileRepositoryDlg::TervanLiveFileRepositoryDlg(CWnd* parent)
    : TervanLiveFileRepositoryDlg(parent, AvQuarantineManager::Get()) {}

TervanLiveFileRepositoryDlg::TervanLiveFileRepositoryDlg(CWnd* parent, AvQuarantineManager& quarantine)
    : CDialog(IDD_FILE_REPOSITORY, parent), quarantine_(quarantine) {}

void TervanLiveFileRepositoryDlg::DoDataExchange() {
    const struct {
        CWnd* control;
        UINT id;
    } controls[] = {{&list_, IDC_REPOSITORY_LIST},           {&dateCombo_, IDC_DATE_FILTER},
                    {&restore_, IDC_REPOSITORY_RESTORE},      {&deselect_, IDC_REPOSITORY_DESELECT},
                    {&selectAll_, IDC_REPOSITORY_SELECT_ALL}, {&showAll_, IDC_SHOW_QUARANTINE},
                    {&frame_, IDC_REPOSITORY_FRAME},          {&listLabel_, IDC_FILE_LIST_LABEL},
                    {&information_, IDC_REPOSITORY_INFO},     {&actionsLabel_, IDC_FILE_ACTIONS_LABEL},
                    {&saveAs_, IDC_REPOSITORY_SAVE_AS},       {&delete_, IDC_REPOSITORY_DELETE}};
    for (const auto& c : controls) c.control->SubclassDlgItem(c.id, this);
}

BOOL TervanLiveFileRepositoryDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    SendMessage(WM_SETICON, ICON_SMALL,
                reinterpret_cast<LPARAM>(::LoadIconW(CWinApp::Instance(), MAKEINTRESOURCEW(IDR_MAINFRAME))));

    Register(this);
    AddControl(&list_, 0, AnchorX | AnchorY);
    AddControl(&dateCombo_, 0, 0);
    AddControl(&showAll_, 0, 0);
    AddControl(&listLabel_, 0, 0);
    AddControl(&actionsLabel_, AnchorX | AnchorY, 0);
    AddControl(&restore_, AnchorX | AnchorY, 0);
    AddControl(&saveAs_, AnchorX | AnchorY, 0);
    AddControl(&delete_, AnchorX | AnchorY, 0);
    AddControl(&deselect_, AnchorY, 0);
    AddControl(&selectAll_, AnchorY, 0);
    AddControl(&frame_, 0, AnchorX);
    AddControl(&information_, 0, AnchorX);

    frame_.SetWindowText(CString::Load(IDS_INFORMATION));
    information_.SetWindowText(CString::Load(IDS_REPOSITORY_EXPLANATION));
    restore_.SetWindowText(CString::Load(IDS_RESTORE));
    saveAs_.SetWindowText(CString::Load(IDS_SAVE_AS));
    delete_.SetWindowText(CString::Load(IDS_DELETE));
    selectAll_.SetWindowText(CString::Load(IDS_REPOSITORY_SELECT_ALL));
    deselect_.SetWindowText(CString::Load(IDS_REPOSITORY_DESELECT));
    listLabel_.SetWindowText(CString::Load(IDS_FILE_LIST));
    showAll_.SetWindowText(CString::Load(IDS_SHOW_QUARANTINE));
    actionsLabel_.SetWindowText(CString::Load(IDS_FILE_ACTIONS));
    SetWindowText(CString::Load(IDS_APP_TITLE) + L" - " + CString::Load(IDS_RESTORE_POINT));

    menu_.LoadMenu(IDR_REPOSITORY_MENU);

    list_.SetExtendedStyle(list_.GetExtendedStyle() | LVS_EX_GRIDLINES | LVS_EX_CHECKBOXES | LVS_EX_INFOTIP);
    const int width = list_.GetClientRect().right;
    list_.InsertColumn(0, CString::Load(IDS_REPOSITORY_FILE_NAME), LVCFMT_LEFT, static_cast<int>(width * double(0.6f)));
    list_.InsertColumn(1, CString::Load(IDS_REPOSITORY_VIRUS_NAME), LVCFMT_CENTER, static_cast<int>(width * double(0.2f)));
    list_.InsertColumn(2, CString::Load(IDS_DATE), LVCFMT_CENTER, static_cast<int>(width * double(0.2f)));

    dateFilter.connect(boost::bind(&TervanLiveFileRepositoryDlg::FillList, this, boost::placeholders::_1));
    FillDateCombo();
    dateCombo_.SetCurSel(0);
    dateFilter(0);
    return TRUE;
}

void TervanLiveFileRepositoryDlg::Layout() {
    FormLayout::Layout();
    if (!LayoutDialog()) return;
    const int rest = list_.GetClientRect().right - list_.GetColumnWidth(1) - list_.GetColumnWidth(2);
    list_.SetColumnWidth(0, rest > 0 ? rest : 0);
}

void TervanLiveFileRepositoryDlg::FillDateCombo() {
    dateCombo_.ResetContent();
    dates_.assign(1, FormatEntryTime(0, DateFormat));
    AvQuarantineManager::Snapshot snapshot;
    quarantine_.GetSnapshot(snapshot);
    for (const auto& entry : snapshot) {
        if (!Shown(entry.second.OriginCode)) continue;
        const std::wstring date = FormatEntryTime(entry.second.Time, DateFormat);
        if (std::find(dates_.begin(), dates_.end(), date) == dates_.end()) dates_.push_back(date);
    }
    for (size_t i = 0; i < dates_.size(); ++i) dateCombo_.AddString(i == 0 ? CString::Load(IDS_ALL_RECORDS) : dates_[i]);
}

void TervanLiveFileRepositoryDlg::FillList(int dateIndex) {
    if (dateIndex < 0 || static_cast<size_t>(dateIndex) >= dates_.size())
        throw std::out_of_range("Invalid record time selected!");
    list_.DeleteAllItems();
    rowMap_.clear();
    const std::wstring& chosen = dates_[static_cast<size_t>(dateIndex)];
    AvQuarantineManager::Snapshot snapshot;
    quarantine_.GetSnapshot(snapshot);
    for (const auto& element : snapshot) {
        const Quarantine::Entry& entry = element.second;
        if (!Shown(entry.OriginCode)) continue;
        if (chosen != dates_[0] && chosen != FormatEntryTime(entry.Time, DateFormat)) continue;
        const int row = list_.GetItemCount();
        list_.InsertItem(row, entry.OriginalPath);
        list_.SetItemText(row, 1, entry.ThreatName);
        list_.SetItemText(row, 2, FormatEntryTime(entry.Time, TimeFormat));
        rowMap_.push_back(std::make_pair(row, element.first));
    }
}

void TervanLiveFileRepositoryDlg::OnFilterModeChanged() {
    filterMode_ = showAll_.GetCheck() == BST_CHECKED ? AllEntries : OwnEntries;
    Refill(std::set<int>());
}

void TervanLiveFileRepositoryDlg::Refill(const std::set<int>& checkedIdentifiers) {
    const int selected = dateCombo_.GetCurSel();
    const std::wstring remembered =
        selected >= 0 && static_cast<size_t>(selected) < dates_.size() ? dates_[static_cast<size_t>(selected)] : dates_[0];
    FillDateCombo();
    int index = 0;
    for (size_t i = 0; i < dates_.size(); ++i)
        if (dates_[i] == remembered) {
            index = static_cast<int>(i);
            break;
        }
    dateCombo_.SetCurSel(index);
    dateFilter(index);
    for (const auto& row : rowMap_)
        if (checkedIdentifiers.count(row.second)) list_.SetCheck(row.first, true);
}

size_t TervanLiveFileRepositoryDlg::CheckedCount() {
    size_t count = 0;
    for (const auto& row : rowMap_)
        if (list_.GetCheck(row.first)) ++count;
    return count;
}

void TervanLiveFileRepositoryDlg::RunAction(CFileAction& action, UINT resultText) {
    std::list<std::pair<int, int>> checked;
    for (const auto& row : rowMap_)
        if (list_.GetCheck(row.first)) checked.push_back(row);
    if (checked.empty()) {
        AppMessageBox(CString::Load(IDS_NOTHING_CHECKED), MB_OK | MB_ICONINFORMATION);
        return;
    }
    actionRunning_ = true;
    std::vector<int> identifiers;
    for (const auto& row : checked) identifiers.push_back(row.second);
    action.Prepare(identifiers);
    std::vector<std::wstring> failures;
    std::set<int> notHandled;
    size_t handled = 0;
    while (!checked.empty()) {
        const std::pair<int, int> next = checked.front();
        checked.pop_front();
        if (action.Execute(next.second)) {
            ++handled;
            list_.DeleteItem(next.first);
            for (auto it = rowMap_.begin(); it != rowMap_.end();) {
                if (it->first == next.first) {
                    it = rowMap_.erase(it);
                } else {
                    if (it->first > next.first) --it->first;
                    ++it;
                }
            }
            for (auto& later : checked) --later.first;
        } else {
            notHandled.insert(next.second);
            if (!action.LastError().empty())
                failures.push_back(list_.GetItemText(next.first, 0) + L": " + action.LastError());
        }
        PumpMessages();
    }
    actionRunning_ = false;
    // Entries the action added (the copy of a file a restore replaced) show at once; what was not
    // handled stays checked.
    Refill(notHandled);
    const std::wstring result = CString::FormatId(resultText, std::to_wstring(handled).c_str());
    information_.SetWindowText(result);
    if (failures.empty()) return;
    std::wstring text = result + L"\n\n" + ReasonText(Reason(IDS_NOT_HANDLED_LIST)) + L"\n";
    for (size_t i = 0; i < failures.size() && i < FailuresListed; ++i) text += L"\n" + failures[i];
    if (failures.size() > FailuresListed)
        text += L"\n" + ReasonText(Reason(IDS_AND_MORE, std::to_wstring(failures.size() - FailuresListed)));
    AppMessageBox(text, MB_OK | MB_ICONWARNING);
}

std::wstring TervanLiveFileRepositoryDlg::EntryDescription(int identifier) const {
    Quarantine::Entry entry;
    boost::shared_ptr<Quarantine::CQuarantine> store = quarantine_.GetStore();
    if (!store || !store->GetEntry(identifier, entry)) return std::wstring();
    std::wstring size = L"?";
    try {
        Quarantine::CContainerReader reader(entry.ContainerPath);
        if (const Quarantine::ContainerObject* object = reader.Object(0)) size = std::to_wstring(object->size);
    } catch (const std::exception&) {
        // A damaged container still gets its description; the restore says why it fails.
    }
    // Copies are taken before a cure of a curable threat, and before a deletion of any other.
    UINT kind = entry.Curable ? IDS_ENTRY_BEFORE_CURE : IDS_ENTRY_BEFORE_DELETION;
    if (entry.Foreign) kind = IDS_ENTRY_OTHER_USER;
    else if (entry.OriginCode != Quarantine::Format::OwnOriginCode) kind = IDS_ENTRY_OTHER_PROGRAM;
    else if (entry.ThreatName == Quarantine::ReplacedFileName) kind = IDS_ENTRY_REPLACED;
    return entry.OriginalPath + L"\n" + CString::FormatId(kind, size.c_str());
}

void TervanLiveFileRepositoryDlg::CheckAll(bool checked) {
    for (int row = 0; row < list_.GetItemCount(); ++row) list_.SetCheck(row, checked);
}

bool TervanLiveFileRepositoryDlg::OnCommand(UINT id, UINT code, HWND) {
    if (id == IDC_DATE_FILTER) {
        if (code != CBN_SELCHANGE) return false;
        const int selected = dateCombo_.GetCurSel();
        if (selected != CB_ERR) dateFilter(selected);
        return true;
    }
    if (id == IDC_SHOW_QUARANTINE && code == BN_CLICKED) {
        OnFilterModeChanged();
        return true;
    }
    if (code != BN_CLICKED && code != 0) return false;
    switch (id) {
    case IDC_REPOSITORY_SELECT_ALL:
        CheckAll(true);
        return true;
    case IDC_REPOSITORY_DESELECT:
        CheckAll(false);
        return true;
    case IDC_REPOSITORY_RESTORE:
    case ID_RESTORE_ORIGINAL:
        if (!actionRunning_) {
            CFileRestoreAction action(quarantine_);
            RunAction(action, IDS_RESULT_RESTORED);
        }
        return true;
    case IDC_REPOSITORY_SAVE_AS:
    case ID_RESTORE_FOLDER:
        if (!actionRunning_) {
            CFileRestoreToFolderAction action(hwnd_, quarantine_);
            if (!action.Folder().empty()) RunAction(action, IDS_RESULT_SAVED);
        }
        return true;
    case IDC_REPOSITORY_DELETE:
    case ID_FILE_DELETE:
        if (!actionRunning_) {
            const size_t count = CheckedCount();
            // Deleting is the one action that cannot be undone: ask first.
            if (count > 0 && AppMessageBox(CString::FormatId(IDS_CONFIRM_DELETE, std::to_wstring(count).c_str()),
                                           MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES)
                return true;
            CFileDeleteAction action(quarantine_);
            RunAction(action, IDS_RESULT_DELETED);
        }
        return true;
    default:
        return false;
    }
}

bool TervanLiveFileRepositoryDlg::OnNotify(NMHDR* header, LRESULT* result) {
    if (header->idFrom != IDC_REPOSITORY_LIST) return false;
    if (header->code == LVN_GETINFOTIPW) {
        NMLVGETINFOTIPW* tip = reinterpret_cast<NMLVGETINFOTIPW*>(header);
        for (const auto& row : rowMap_)
            if (row.first == tip->iItem) {
                const std::wstring text = EntryDescription(row.second);
                if (tip->pszText && tip->cchTextMax > 0) {
                    const size_t length = std::min<size_t>(text.size(), static_cast<size_t>(tip->cchTextMax) - 1);
                    text.copy(tip->pszText, length);
                    tip->pszText[length] = 0;
                }
            }
        *result = 0;
        return true;
    }
    if (header->code != NM_RCLICK) return false;
    *result = 0;
    bool anyChecked = false;
    for (int row = 0; row < list_.GetItemCount() && !anyChecked; ++row) anyChecked = list_.GetCheck(row);
    POINT cursor;
    if (!anyChecked || !::GetCursorPos(&cursor)) return true;
    const UINT command = static_cast<UINT>(::TrackPopupMenu(menu_.GetSubMenu(0),
                                                            TPM_RIGHTBUTTON | TPM_NONOTIFY | TPM_RETURNCMD,
                                                            cursor.x, cursor.y, 0, hwnd_, nullptr));
    if (command) PostMessage(WM_COMMAND, MAKEWPARAM(command, 0));
    return true;
}

bool TervanLiveFileRepositoryDlg::OnMessage(UINT message, WPARAM, LPARAM lParam, LRESULT& result) {
    return OnLayoutMessage(message, lParam, result);
}
