// The modal dialog: its loop and its one dialog procedure.
#include "framework/Dialog.h"

#include "framework/App.h"
#include "base/Reason.h"
#include "resources/resource.h"

#include <algorithm>

#include <exception>
#include <string>

namespace {

BOOL CALLBACK ForwardSysColorChange(HWND child, LPARAM) {
    ::SendMessageW(child, WM_SYSCOLORCHANGE, 0, 0);
    return TRUE;
}

}  // namespace

CDialog::CDialog(UINT templateId, CWnd* parent) : parent_(parent), templateId_(templateId) {}

CDialog::~CDialog() {
    // No late message may reach a half-destroyed object.
    if (hwnd_ && ::IsWindow(hwnd_)) {
        ::SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
        ::DestroyWindow(hwnd_);
    }
}

INT_PTR CDialog::DoModal() {
    HWND owner = parent_ ? parent_->GetSafeHwnd() : nullptr;
    result_ = -1;
    running_ = true;
    HWND dialog = ::CreateDialogParamW(CWinApp::Instance(), MAKEINTRESOURCEW(templateId_), owner,
                                       &CDialog::DialogProc, reinterpret_cast<LPARAM>(this));
    if (!dialog) {
        running_ = false;
        return -1;
    }
    const bool ownerWasEnabled = owner && ::IsWindowEnabled(owner);
    if (ownerWasEnabled) ::EnableWindow(owner, FALSE);
    if (running_) ::ShowWindow(dialog, SW_SHOW);
    MSG msg;
    while (running_) {
        const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (got < 0) break;
        if (PreTranslate(&msg)) continue;
        if (::IsDialogMessageW(dialog, &msg)) continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
    running_ = false;
    // Give activation back to the owner before the dialog goes away.
    if (ownerWasEnabled) ::EnableWindow(owner, TRUE);
    if (::IsWindow(dialog)) {
        ::SetWindowPos(dialog, nullptr, 0, 0, 0, 0,
                       SWP_HIDEWINDOW | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        if (owner) ::SetActiveWindow(owner);
        ::DestroyWindow(dialog);
    }
    hwnd_ = nullptr;
    return result_;
}

void CDialog::EndDialog(INT_PTR result) {
    result_ = result;
    running_ = false;
    if (hwnd_) ::PostMessageW(hwnd_, WM_NULL, 0, 0);  // wake the loop
}

BOOL CDialog::OnInitDialog() {
    DoDataExchange();
    return TRUE;
}

void CDialog::ReportException(const char* what) {
    std::wstring detail;
    for (const char* c = what; *c; ++c) detail += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    AppMessageBox(ReasonText(Reason(IDS_UNEXPECTED_ERROR, detail)), MB_OK | MB_ICONERROR);
}

void CDialog::CenterOnOwner() {
    HWND owner = ::GetWindow(hwnd_, GW_OWNER);
    if (!owner) return;
    RECT outer, inner;
    ::GetWindowRect(owner, &outer);
    ::GetWindowRect(hwnd_, &inner);
    const int width = inner.right - inner.left, height = inner.bottom - inner.top;
    int x = outer.left + ((outer.right - outer.left) - width) / 2;
    int y = outer.top + ((outer.bottom - outer.top) - height) / 2;
    // Kept on the screen that holds the owner.
    MONITORINFO monitor = {};
    monitor.cbSize = sizeof(monitor);
    if (::GetMonitorInfoW(::MonitorFromWindow(owner, MONITOR_DEFAULTTONEAREST), &monitor)) {
        x = std::max<int>(monitor.rcWork.left, std::min<int>(x, monitor.rcWork.right - width));
        y = std::max<int>(monitor.rcWork.top, std::min<int>(y, monitor.rcWork.bottom - height));
    }
    ::SetWindowPos(hwnd_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

bool CDialog::PreTranslate(MSG* msg) {
    for (HWND hwnd = msg->hwnd; hwnd; hwnd = ::GetParent(hwnd)) {
        if (CWnd* wrapper = CWnd::FromHandle(hwnd))
            if (wrapper->PreTranslateMessage(msg)) return true;
        if (hwnd == hwnd_) break;
    }
    return false;
}

bool CDialog::ReflectToChild(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    HWND child = nullptr;
    switch (message) {
    case WM_DRAWITEM:
        child = reinterpret_cast<DRAWITEMSTRUCT*>(lParam)->hwndItem;
        break;
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        child = reinterpret_cast<HWND>(lParam);
        break;
    case WM_COMMAND:
        child = reinterpret_cast<HWND>(lParam);
        break;
    case WM_NOTIFY:
        child = reinterpret_cast<NMHDR*>(lParam)->hwndFrom;
        break;
    default:
        return false;
    }
    CWnd* wrapper = child && child != hwnd_ ? CWnd::FromHandle(child) : nullptr;
    return wrapper && wrapper->OnChildNotify(message, wParam, lParam, result);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CDialog* self = nullptr;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->hwnd_ = hwnd;
        self->SetWrapperOf(hwnd);
    } else {
        self = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    if (!self) return FALSE;
    try {
        return self->HandleMessage(message, wParam, lParam);
    } catch (const std::exception& e) {
        self->ReportException(e.what());
    } catch (...) {
        self->ReportException("unknown exception");
    }
    return FALSE;
}

INT_PTR CDialog::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (ReflectToChild(message, wParam, lParam, &result)) {
        if (message == WM_CTLCOLORSTATIC || message == WM_CTLCOLORBTN) return static_cast<INT_PTR>(result);
        ::SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
        return TRUE;
    }
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_COMMAND: {
        const UINT id = LOWORD(wParam), code = HIWORD(wParam);
        HWND control = reinterpret_cast<HWND>(lParam);
        if (OnCommand(id, code, control)) return TRUE;
        if (code == BN_CLICKED || control == nullptr) {
            if (id == IDOK) {
                OnOK();
                return TRUE;
            }
            if (id == IDCANCEL) {
                OnCancel();
                return TRUE;
            }
        }
        return FALSE;
    }
    case WM_NOTIFY:
        if (OnNotify(reinterpret_cast<NMHDR*>(lParam), &result)) {
            ::SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
            return TRUE;
        }
        return FALSE;
    case WM_SYSCOLORCHANGE:
        // Only top-level windows hear of it; controls that keep colours need it too.
        ::EnumChildWindows(hwnd_, &ForwardSysColorChange, 0);
        break;
    case WM_NCDESTROY:
        ::SetWindowLongPtrW(hwnd_, DWLP_USER, 0);
        ::RemovePropW(hwnd_, L"Tervan.CWnd");
        return FALSE;
    default:
        break;
    }
    if (!OnMessage(message, wParam, lParam, result)) return FALSE;
    switch (message) {
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORDLG:
    case WM_QUERYDRAGICON:
        return static_cast<INT_PTR>(result);
    default:
        ::SetWindowLongPtrW(hwnd_, DWLP_MSGRESULT, result);
        return TRUE;
    }
}
