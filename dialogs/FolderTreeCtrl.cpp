// The drive and folder tree of the custom scan.
#include "dialogs/FolderTreeCtrl.h"

#include "framework/App.h"
#include "framework/String.h"
#include "base/WinHandle.h"
#include "resources/resource.h"
#include "scan/ScanTask.h"

#include <algorithm>

namespace {

enum Image { FolderSelected = 0, Folder = 1, CdRom = 2, Removable = 3, Unused = 4, FixedDrive = 5, File = 6 };
const UINT IconsInOrder[] = {IDI_FOLDER_OPEN, IDI_FOLDER, IDI_CDROM, IDI_REMOVABLE_DRIVE, IDI_NETWORK_DRIVE,
                             IDI_FIXED_DRIVE, IDI_FILE};
const UINT Unchecked = INDEXTOSTATEIMAGEMASK(1), Checked = INDEXTOSTATEIMAGEMASK(2);

bool HasEntries(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    Win::FindHandle find(::FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find) return false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") return true;
    } while (::FindNextFileW(find.Get(), &data));
    return false;
}

}  // namespace

void CFolderTreeCtrl::Initialize() {
    images_.Create(16, 16, ILC_COLOR8 | ILC_MASK, 0, 0);
    for (UINT id : IconsInOrder) {
        HICON icon = static_cast<HICON>(::LoadImageW(CWinApp::Instance(), MAKEINTRESOURCEW(id), IMAGE_ICON, 16, 16, 0));
        images_.Add(icon);
        if (icon) ::DestroyIcon(icon);
    }
    SetImageList(images_.Get(), TVSIL_NORMAL);

    const bool developer = IsDeveloperMachine();
    const DWORD drives = ::GetLogicalDrives();
    for (int bit = 1; bit < 32; ++bit) {
        if (!(drives & (1u << bit))) continue;
        const wchar_t letter = static_cast<wchar_t>(L'A' + bit);
        if (developer && (letter == L'C' || letter == L'Z')) continue;
        const wchar_t root[] = {letter, L':', L'\\', 0};
        wchar_t label[1000] = {};
        const bool named = ::GetVolumeInformationW(root, label, 1000, nullptr, nullptr, nullptr, nullptr, 0) && label[0];
        AddItem(named ? CString::Format(L"%c: [%s]", letter, label) : CString::Format(L"%c:", letter), TVI_ROOT, true);
    }
}

HTREEITEM CFolderTreeCtrl::AddItem(const std::wstring& displayName, HTREEITEM parent, bool isDrive) {
    for (HTREEITEM child = parent == TVI_ROOT ? GetRootItem() : GetChildItem(parent); child;
         child = GetNextSiblingItem(child))
        if (GetItemText(child) == displayName) return child;

    const std::wstring path = isDrive ? displayName.substr(0, 2) + L"\\" : GetFullPath(parent) + displayName + L"\\";
    const DWORD attributes = ::GetFileAttributesW(path.substr(0, isDrive ? 3 : path.size() - 1).c_str());
    const bool folder = isDrive || (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY));
    const bool marked = folder && HasEntries(path);

    int image = File, selected = File;
    ItemKind kind = FileItem;
    if (isDrive) {
        kind = DriveItem;
        const UINT type = ::GetDriveTypeW(path.c_str());
        image = selected = type == DRIVE_CDROM ? CdRom : type == DRIVE_REMOVABLE ? Removable : FixedDrive;
    } else if (folder) {
        kind = FolderItem;
        image = Folder;
        selected = FolderSelected;
    }
    TVINSERTSTRUCTW insert = {};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_CHILDREN | TVIF_PARAM | TVIF_STATE;
    insert.item.pszText = const_cast<wchar_t*>(displayName.c_str());
    insert.item.iImage = image;
    insert.item.iSelectedImage = selected;
    insert.item.cChildren = marked ? 1 : 0;
    insert.item.lParam = kind;
    insert.item.state = Unchecked;
    insert.item.stateMask = TVIS_STATEIMAGEMASK;
    return InsertItem(insert);
}

std::wstring CFolderTreeCtrl::GetFullPath(HTREEITEM item) const {
    std::wstring path;
    for (; item; item = GetParentItem(item)) {
        const std::wstring text = GetItemText(item);
        path = (GetKind(item) == DriveItem ? text.substr(0, 2) : text) + L"\\" + path;
    }
    return path;
}

CFolderTreeCtrl::ItemKind CFolderTreeCtrl::GetKind(HTREEITEM handle) const {
    TVITEMW item = {};
    item.mask = TVIF_PARAM;
    item.hItem = handle;
    SendMessage(TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&item));
    return static_cast<ItemKind>(item.lParam);
}

bool CFolderTreeCtrl::IsChecked(HTREEITEM item) const { return GetItemState(item, TVIS_STATEIMAGEMASK) == Checked; }

bool CFolderTreeCtrl::IsMarked(HTREEITEM item) const { return (GetItemState(item, TVIS_BOLD) & TVIS_BOLD) != 0; }

void CFolderTreeCtrl::ReadChildren(HTREEITEM item) {
    const std::wstring folder = GetFullPath(item);
    WIN32_FIND_DATAW data;
    Win::FindHandle find(::FindFirstFileW((folder + L"*").c_str(), &data));
    if (!find) return;
    std::vector<std::wstring> folders, files;
    do {
        const std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        const DWORD attributes = ::GetFileAttributesW((folder + name).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) continue;
        (attributes & FILE_ATTRIBUTE_DIRECTORY ? folders : files).push_back(name);
    } while (::FindNextFileW(find.Get(), &data));
    for (const std::vector<std::wstring>* names : {&folders, &files})
        for (const std::wstring& name : *names) AddItem(name, item, false);
    if (IsChecked(item)) SetCheckedTree(item, true);  // children of a checked folder arrive checked
}

void CFolderTreeCtrl::SetChecked(HTREEITEM item, bool checked) {
    SetItemState(item, (checked ? Checked : Unchecked) | (checked ? TVIS_BOLD : 0), TVIS_STATEIMAGEMASK | TVIS_BOLD);
}

void CFolderTreeCtrl::SetCheckedTree(HTREEITEM item, bool checked) {
    SetChecked(item, checked);
    for (HTREEITEM child = GetChildItem(item); child; child = GetNextSiblingItem(child)) SetCheckedTree(child, checked);
}

void CFolderTreeCtrl::OnLeftButtonDown(POINT point) {
    UINT flags = 0;
    HTREEITEM item = HitTest(point, &flags);
    if (!item) return;
    SelectItem(item);
    ::SetFocus(hwnd_);
    ReadChildren(item);
    if (!(flags & TVHT_ONITEMSTATEICON)) {
        Expand(item, TVE_TOGGLE);
        return;
    }
    Toggle(item);
}

void CFolderTreeCtrl::Toggle(HTREEITEM item) {
    SetCheckedTree(item, !IsChecked(item));
    for (HTREEITEM parent = GetParentItem(item); parent; parent = GetParentItem(parent)) {
        bool all = true;
        for (HTREEITEM child = GetChildItem(parent); child && all; child = GetNextSiblingItem(child))
            all = IsChecked(child);
        SetChecked(parent, all);
    }
    for (HTREEITEM parent = GetParentItem(item); parent; parent = GetParentItem(parent)) {
        bool any = false;
        for (HTREEITEM child = GetChildItem(parent); child && !any; child = GetNextSiblingItem(child))
            any = IsMarked(child);
        SetItemState(parent, any ? TVIS_BOLD : 0, TVIS_BOLD);
    }
}

LRESULT CFolderTreeCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK: {
        // Replaces the tree's own handling of presses entirely: a double click is a second click, not
        // the tree's own tick, which would leave the tick and the bold mark apart.
        const POINT point = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        OnLeftButtonDown(point);
        return 0;
    }
    case WM_KEYDOWN:
        if (wParam == VK_SPACE) {
            if (HTREEITEM item = GetSelectedItem()) {
                ReadChildren(item);
                Toggle(item);
            }
            return 0;
        }
        break;
    case WM_CHAR:
        if (wParam == L' ') return 0;  // the space was handled as a key
        break;
    default:
        break;
    }
    return CTreeCtrl::WindowProc(message, wParam, lParam);
}

bool CFolderTreeCtrl::OnChildNotify(UINT message, WPARAM, LPARAM lParam, LRESULT* result) {
    if (message != WM_NOTIFY) return false;
    const NMTREEVIEWW* notice = reinterpret_cast<const NMTREEVIEWW*>(lParam);
    if (notice->hdr.code != TVN_ITEMEXPANDINGW || !(notice->action & TVE_EXPAND)) return false;
    ReadChildren(notice->itemNew.hItem);
    *result = FALSE;  // let it open
    return true;
}

void CFolderList::Collect(HTREEITEM item) {
    if (!tree_.IsChecked(item)) {
        for (HTREEITEM child = tree_.GetChildItem(item); child; child = tree_.GetNextSiblingItem(child))
            if (tree_.IsMarked(child)) Collect(child);
        return;
    }
    std::wstring path = tree_.GetFullPath(item);
    // A file is a target without the backslash that every full path ends with; else it could not be opened.
    if (tree_.GetKind(item) == CFolderTreeCtrl::FileItem) path.pop_back();
    if (std::find(paths_.begin(), paths_.end(), path) == paths_.end()) paths_.push_back(path);
}
