// Tree clicks for window tests.
#include "tests/support/TreeClicks.h"

#include <cstring>

namespace TestSupport {

std::wstring TreeText(HWND tree, HTREEITEM handle) {
    wchar_t text[1024] = {};
    TVITEMW item = {};
    item.mask = TVIF_TEXT;
    item.hItem = handle;
    item.pszText = text;
    item.cchTextMax = 1024;
    ::SendMessageW(tree, TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return text;
}

HTREEITEM FindTreeItem(HWND tree, HTREEITEM parent, const std::wstring& text) {
    HTREEITEM item = parent ? TreeView_GetChild(tree, parent) : TreeView_GetRoot(tree);
    for (; item; item = TreeView_GetNextSibling(tree, item))
        if (TreeText(tree, item) == text) return item;
    return nullptr;
}

HTREEITEM FindDrive(HWND tree, wchar_t letter) {
    for (HTREEITEM item = TreeView_GetRoot(tree); item; item = TreeView_GetNextSibling(tree, item)) {
        const std::wstring text = TreeText(tree, item);
        if (text.size() >= 2 && text[0] == letter && text[1] == L':') return item;
    }
    return nullptr;
}

static void Press(HWND tree, POINT point, bool twice = false) {
    ::SendMessageW(tree, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(point.x, point.y));
    ::SendMessageW(tree, WM_LBUTTONUP, 0, MAKELPARAM(point.x, point.y));
    if (!twice) return;
    // The second press of a double click comes as its own message.
    ::SendMessageW(tree, WM_LBUTTONDBLCLK, MK_LBUTTON, MAKELPARAM(point.x, point.y));
    ::SendMessageW(tree, WM_LBUTTONUP, 0, MAKELPARAM(point.x, point.y));
}

void ClickLabel(HWND tree, HTREEITEM item) {
    RECT rect;
    std::memcpy(&rect, &item, sizeof(item));  // the message wants the item where the rectangle goes
    ::SendMessageW(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&rect));
    Press(tree, {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2});
}

bool ClickCheckBox(HWND tree, HTREEITEM item, bool twice) {
    RECT rect;
    std::memcpy(&rect, &item, sizeof(item));  // the message wants the item where the rectangle goes
    if (!::SendMessageW(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&rect))) return false;
    const int y = (rect.top + rect.bottom) / 2;
    for (int x = rect.left; x >= 0; --x) {
        TVHITTESTINFO hit = {};
        hit.pt = {x, y};
        if (reinterpret_cast<HTREEITEM>(::SendMessageW(tree, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit))) == item &&
            (hit.flags & TVHT_ONITEMSTATEICON)) {
            Press(tree, hit.pt, twice);
            return true;
        }
    }
    return false;
}

bool TreeChecked(HWND tree, HTREEITEM item) {
    return (::SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK) >> 12) == 2;
}

bool TreeBold(HWND tree, HTREEITEM item) {
    return (::SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_BOLD) & TVIS_BOLD) != 0;
}

bool TreeExpanded(HWND tree, HTREEITEM item) {
    return (::SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_EXPANDED) & TVIS_EXPANDED) != 0;
}

}  // namespace TestSupport
