// CFolderTreeCtrl: drives, folders and files with check boxes, read from disk when the user first
// opens or ticks an item, by mouse or keyboard. A bold item is checked or has a checked item somewhere
// below it. Every way of ticking (click, double click, space bar) and of opening (click, double click,
// Right arrow, +) ends in the same state, so what is ticked is what is scanned.
// CFolderList: reduces the checks of such a tree to a short list of paths.
#pragma once

#include "framework/Controls.h"
#include "framework/Gdi.h"

#include <string>
#include <vector>

class CFolderTreeCtrl : public CTreeCtrl {
public:
    enum ItemKind { DriveItem = 0, FolderItem = 1, FileItem = 2 };

    // Creates the image list and adds every drive but A: (C: and Z: not on a developer machine).
    void Initialize();

    // Every full path ends with a backslash: C:\, C:\Windows\, C:\Data\report.doc\ .
    std::wstring GetFullPath(HTREEITEM item) const;
    ItemKind GetKind(HTREEITEM item) const;
    bool IsChecked(HTREEITEM item) const;
    bool IsMarked(HTREEITEM item) const;  // bold
    // Adds the item's folders, then its files, that are not there yet.
    void ReadChildren(HTREEITEM item);
    HTREEITEM AddItem(const std::wstring& displayName, HTREEITEM parent, bool isDrive);

protected:
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    // TVN_ITEMEXPANDING: the children are read before the item opens, however it is opened.
    bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) override;

private:
    void OnLeftButtonDown(POINT point);
    // Ticks or clears the item and everything below it, and sets the ticks and marks above it.
    void Toggle(HTREEITEM item);
    void SetChecked(HTREEITEM item, bool checked);
    void SetCheckedTree(HTREEITEM item, bool checked);

    CImageList images_;
};

class CFolderList {
public:
    explicit CFolderList(const CFolderTreeCtrl& tree) : tree_(tree) { paths_.reserve(10); }

    // A checked item stands for everything below it; an unchecked one is searched below its marked children.
    void Collect(HTREEITEM item);
    size_t Count() const { return paths_.size(); }
    // Throws std::out_of_range for an index outside the list.
    const std::wstring& At(size_t index) const { return paths_.at(index); }

private:
    const CFolderTreeCtrl& tree_;
    std::vector<std::wstring> paths_;
};
