// Thin wrappers of the standard and common controls the dialogs use; each method forwards to one
// Windows call.
#pragma once

#include "framework/Wnd.h"

#include <commctrl.h>

#include <string>

class CButton : public CWnd {
public:
    int GetCheck() const { return static_cast<int>(SendMessage(BM_GETCHECK)); }
    void SetCheck(int state) const { SendMessage(BM_SETCHECK, static_cast<WPARAM>(state)); }
};

class CStatic : public CWnd {};

class CProgressCtrl : public CWnd {
public:
    void SetRange(int low, int high) const { SendMessage(PBM_SETRANGE32, low, high); }
    void SetPos(int position) const { SendMessage(PBM_SETPOS, static_cast<WPARAM>(position)); }
};

class CComboBox : public CWnd {
public:
    int AddString(const std::wstring& text) const {
        return static_cast<int>(SendMessage(CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
    }
    void ResetContent() const { SendMessage(CB_RESETCONTENT); }
    int GetCurSel() const { return static_cast<int>(SendMessage(CB_GETCURSEL)); }
    void SetCurSel(int index) const { SendMessage(CB_SETCURSEL, static_cast<WPARAM>(index)); }
};

class CListCtrl : public CWnd {
public:
    int InsertColumn(int column, const std::wstring& heading, int format, int width) const;
    int GetColumnWidth(int column) const { return static_cast<int>(SendMessage(LVM_GETCOLUMNWIDTH, column)); }
    void SetColumnWidth(int column, int width) const { SendMessage(LVM_SETCOLUMNWIDTH, column, MAKELPARAM(width, 0)); }
    int InsertItem(int row, const std::wstring& text) const;
    void SetItemText(int row, int column, const std::wstring& text) const;
    std::wstring GetItemText(int row, int column) const;
    bool DeleteItem(int row) const { return SendMessage(LVM_DELETEITEM, row) != 0; }
    void DeleteAllItems() const { SendMessage(LVM_DELETEALLITEMS); }
    int GetItemCount() const { return static_cast<int>(SendMessage(LVM_GETITEMCOUNT)); }
    bool GetCheck(int row) const { return ((SendMessage(LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) >> 12) - 1) == 1; }
    void SetCheck(int row, bool checked) const;
    DWORD GetExtendedStyle() const { return static_cast<DWORD>(SendMessage(LVM_GETEXTENDEDLISTVIEWSTYLE)); }
    void SetExtendedStyle(DWORD style) const { SendMessage(LVM_SETEXTENDEDLISTVIEWSTYLE, 0, style); }
    int GetSelectedCount() const { return static_cast<int>(SendMessage(LVM_GETSELECTEDCOUNT)); }
    // The next selected row after the given one (-1: from the start); -1 when there is none.
    int GetNextSelected(int row) const { return static_cast<int>(SendMessage(LVM_GETNEXTITEM, row, LVNI_SELECTED)); }
};

class CTreeCtrl : public CWnd {
public:
    HTREEITEM InsertItem(const TVINSERTSTRUCTW& item) const {
        return reinterpret_cast<HTREEITEM>(SendMessage(TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
    }
    HTREEITEM GetNextItem(HTREEITEM item, UINT code) const {
        return reinterpret_cast<HTREEITEM>(SendMessage(TVM_GETNEXTITEM, code, reinterpret_cast<LPARAM>(item)));
    }
    HTREEITEM GetRootItem() const { return GetNextItem(nullptr, TVGN_ROOT); }
    HTREEITEM GetChildItem(HTREEITEM item) const { return GetNextItem(item, TVGN_CHILD); }
    HTREEITEM GetNextSiblingItem(HTREEITEM item) const { return GetNextItem(item, TVGN_NEXT); }
    HTREEITEM GetParentItem(HTREEITEM item) const { return GetNextItem(item, TVGN_PARENT); }
    HTREEITEM GetSelectedItem() const { return GetNextItem(nullptr, TVGN_CARET); }
    std::wstring GetItemText(HTREEITEM item) const;
    UINT GetItemState(HTREEITEM item, UINT mask) const {
        return static_cast<UINT>(SendMessage(TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), mask));
    }
    void SetItemState(HTREEITEM item, UINT state, UINT mask) const;
    HTREEITEM HitTest(POINT point, UINT* flags) const;
    void SelectItem(HTREEITEM item) const { SendMessage(TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)); }
    void Expand(HTREEITEM item, UINT code) const { SendMessage(TVM_EXPAND, code, reinterpret_cast<LPARAM>(item)); }
    void SetImageList(HIMAGELIST list, int which) const { SendMessage(TVM_SETIMAGELIST, which, reinterpret_cast<LPARAM>(list)); }
};
