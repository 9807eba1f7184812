// CDialog: a modal dialog from a template, run by its own message loop so that controls see their
// messages before translation (PreTranslateMessage). One dialog procedure turns messages into
// virtual calls; no exception gets past it to Windows.
#pragma once

#include "framework/Wnd.h"

#include <commctrl.h>

class CDialog : public CWnd {
public:
    CDialog(UINT templateId, CWnd* parent);
    ~CDialog() override;

    // Creates the dialog, disables the parent, runs until EndDialog, destroys the dialog. -1: no window.
    INT_PTR DoModal();
    void EndDialog(INT_PTR result);
    bool IsRunning() const { return running_; }

protected:
    // WM_INITDIALOG: binds the controls (DoDataExchange). TRUE gives the default focus.
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange() {}
    // IDOK and IDCANCEL end the dialog with that result.
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }
    // WM_COMMAND from a control or menu; true when handled.
    virtual bool OnCommand(UINT id, UINT code, HWND control) { return false; }
    // WM_NOTIFY; true when handled, with *result as the answer.
    virtual bool OnNotify(NMHDR* header, LRESULT* result) { return false; }
    // Any other message; true when handled, with result as the answer.
    virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) { return false; }

    // Turns an exception caught in the dialog procedure into a message box.
    virtual void ReportException(const char* what);
    // Over the middle of the owner window (on its screen).
    void CenterOnOwner();

    CWnd* parent_;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    bool ReflectToChild(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);
    bool PreTranslate(MSG* msg);

    UINT templateId_;
    bool running_ = false;
    INT_PTR result_ = -1;
};
