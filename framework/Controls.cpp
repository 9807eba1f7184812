// The control wrappers' longer calls.
#include "framework/Controls.h"

#include <vector>

int CListCtrl::InsertColumn(int column, const std::wstring& heading, int format, int width) const {
    LVCOLUMNW info = {};
    info.mask = LVCF_TEXT | LVCF_FMT | LVCF_WIDTH | LVCF_SUBITEM;
    info.fmt = format;
    info.cx = width;
    info.pszText = const_cast<wchar_t*>(heading.c_str());
    info.iSubItem = column;
    return static_cast<int>(SendMessage(LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&info)));
}

int CListCtrl::InsertItem(int row, const std::wstring& text) const {
    LVITEMW item = {};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    return static_cast<int>(SendMessage(LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

void CListCtrl::SetItemText(int row, int column, const std::wstring& text) const {
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = const_cast<wchar_t*>(text.c_str());
    SendMessage(LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
}

std::wstring CListCtrl::GetItemText(int row, int column) const {
    std::vector<wchar_t> text(4096);
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(text.size());
    SendMessage(LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return text.data();
}

void CListCtrl::SetCheck(int row, bool checked) const {
    LVITEMW item = {};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    SendMessage(LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

std::wstring CTreeCtrl::GetItemText(HTREEITEM handle) const {
    std::vector<wchar_t> text(1024);
    TVITEMW item = {};
    item.mask = TVIF_TEXT;
    item.hItem = handle;
    item.pszText = text.data();
    item.cchTextMax = static_cast<int>(text.size());
    SendMessage(TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return text.data();
}

void CTreeCtrl::SetItemState(HTREEITEM handle, UINT state, UINT mask) const {
    TVITEMW item = {};
    item.mask = TVIF_STATE;
    item.hItem = handle;
    item.state = state;
    item.stateMask = mask;
    SendMessage(TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

HTREEITEM CTreeCtrl::HitTest(POINT point, UINT* flags) const {
    TVHITTESTINFO info = {};
    info.pt = point;
    HTREEITEM item = reinterpret_cast<HTREEITEM>(SendMessage(TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&info)));
    if (flags) *flags = info.flags;
    return item;
}
