// CWnd: holds one HWND. It either only refers to a window, or subclasses it (a dialog's template
// control bound by id) so that its messages arrive as virtual calls; notifications a control
// handles itself come back to it from its parent through OnChildNotify.
#pragma once

#include <windows.h>

#include <string>

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd();
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return hwnd_; }
    operator HWND() const { return hwnd_; }

    // Refers to the window without taking its messages.
    void Attach(HWND hwnd) { hwnd_ = hwnd; }
    // Takes the messages of the parent's child control with this id (or of the window itself).
    bool SubclassDlgItem(UINT id, CWnd* parent);
    bool SubclassWindow(HWND hwnd);
    void UnsubclassWindow();

    // The wrapper of a subclassed window or of a dialog, or null.
    static CWnd* FromHandle(HWND hwnd);

    // Runs before the message is translated and dispatched by the modal loop; true swallows it.
    virtual bool PreTranslateMessage(MSG* msg) { return false; }
    // A notification about this control that its parent received (WM_DRAWITEM, WM_CTLCOLORSTATIC,
    // WM_COMMAND, WM_NOTIFY). True: handled, *result is the answer, the parent does nothing more.
    virtual bool OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) { return false; }

    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::SendMessageW(hwnd_, message, wParam, lParam);
    }
    BOOL PostMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0) const {
        return ::PostMessageW(hwnd_, message, wParam, lParam);
    }
    void SetWindowText(const std::wstring& text) const { ::SetWindowTextW(hwnd_, text.c_str()); }
    std::wstring GetWindowText() const;
    void EnableWindow(bool enable) const { ::EnableWindow(hwnd_, enable ? TRUE : FALSE); }
    bool IsWindowEnabled() const { return ::IsWindowEnabled(hwnd_) != FALSE; }
    void ShowWindow(int command) const { ::ShowWindow(hwnd_, command); }
    bool IsWindowVisible() const { return ::IsWindowVisible(hwnd_) != FALSE; }
    RECT GetClientRect() const;
    RECT GetWindowRect() const;
    void SetFont(HFONT font, bool redraw = true) const { SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), redraw); }
    HFONT GetFont() const { return reinterpret_cast<HFONT>(SendMessage(WM_GETFONT)); }
    void Invalidate(bool erase = true) const { ::InvalidateRect(hwnd_, nullptr, erase ? TRUE : FALSE); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(hwnd_, id); }
    LONG_PTR GetStyle() const { return ::GetWindowLongPtrW(hwnd_, GWL_STYLE); }

protected:
    // A subclassed window's messages; the default passes them to the window's own procedure.
    virtual LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) { return Default(message, wParam, lParam); }
    LRESULT Default(UINT message, WPARAM wParam, LPARAM lParam);
    // Runs once the window is subclassed.
    virtual void PreSubclassWindow() {}
    // Lets dialogs register themselves as the wrapper of their window.
    void SetWrapperOf(HWND hwnd);

    HWND hwnd_ = nullptr;

private:
    static LRESULT CALLBACK SubclassProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    WNDPROC originalProc_ = nullptr;
};

// Removes, translates and dispatches every message waiting in this thread's queue.
void PumpMessages();
