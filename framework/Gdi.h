// Owners of fonts, image lists and menus, each freeing its handle once.
#pragma once

#include "base/WinHandle.h"

#include <commctrl.h>

#include <string>

// The dots per inch a window is drawn at (96 is 100 %): its monitor's where the system can tell,
// else the screen's.
int WindowDpi(HWND window);
// Pixels designed for 96 dots per inch, at the given dots per inch.
inline int ScaleToDpi(int pixels, int dpi) { return ::MulDiv(pixels, dpi, 96); }

class CFont {
public:
    bool CreateFont(int height, int weight, const wchar_t* face);
    // Size in tenths of a point for the screen.
    bool CreatePointFont(int tenthsOfPoint, const wchar_t* face);
    bool CreateFontIndirect(const LOGFONTW& description);
    HFONT Get() const { return font_.Get(); }
    operator HFONT() const { return font_.Get(); }

private:
    Win::FontHandle font_;
};

class CImageList {
public:
    CImageList() = default;
    ~CImageList() {
        if (list_) ImageList_Destroy(list_);
    }
    CImageList(const CImageList&) = delete;
    CImageList& operator=(const CImageList&) = delete;
    bool Create(int width, int height, UINT flags, int initial, int grow) {
        list_ = ImageList_Create(width, height, flags, initial, grow);
        return list_ != nullptr;
    }
    int Add(HICON icon) const { return ImageList_ReplaceIcon(list_, -1, icon); }
    HIMAGELIST Get() const { return list_; }

private:
    HIMAGELIST list_ = nullptr;
};

class CMenu {
public:
    bool LoadMenu(UINT id);
    HMENU GetSubMenu(int position) const { return ::GetSubMenu(menu_.Get(), position); }
    HMENU Get() const { return menu_.Get(); }

private:
    Win::MenuHandle menu_;
};
