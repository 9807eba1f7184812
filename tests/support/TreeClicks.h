// Clicks on items of a tree view where a user's mouse would press: on the label, or on the check box
// found with the tree's own hit testing.
#pragma once

#include <windows.h>

#include <commctrl.h>

#include <string>

namespace TestSupport {

// The item of that display text below the parent (null: the top level), or null.
HTREEITEM FindTreeItem(HWND tree, HTREEITEM parent, const std::wstring& text);
// A top-level item whose text starts with the drive letter and a colon.
HTREEITEM FindDrive(HWND tree, wchar_t letter);
void ClickLabel(HWND tree, HTREEITEM item);
// false when no check box was found; twice: a double click.
bool ClickCheckBox(HWND tree, HTREEITEM item, bool twice = false);
bool TreeChecked(HWND tree, HTREEITEM item);
bool TreeBold(HWND tree, HTREEITEM item);
bool TreeExpanded(HWND tree, HTREEITEM item);
std::wstring TreeText(HWND tree, HTREEITEM item);

}  // namespace TestSupport
