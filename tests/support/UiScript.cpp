// Scripted steps and window lookups for dialog tests.
#include "tests/support/UiScript.h"

#include <commctrl.h>

#include <map>

namespace TestSupport {
namespace {

std::map<UINT_PTR, UiScript*> running;

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM list) {
    if (::IsWindowVisible(hwnd)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(hwnd);
    return TRUE;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    ::GetClassNameW(hwnd, name, 64);
    return name;
}

// A message box: a dialog with a static text (id 0xFFFF) and no list or tree.
HWND FindMessageBox() {
    for (HWND hwnd : ThreadWindows()) {
        if (ClassOf(hwnd) != L"#32770") continue;
        HWND text = ::GetDlgItem(hwnd, 0xFFFF);
        if (text && (::GetDlgItem(hwnd, IDOK) || ::GetDlgItem(hwnd, IDYES))) return hwnd;
    }
    return nullptr;
}

}  // namespace

UiScript& UiScript::Then(const std::function<bool()>& step) {
    steps_.push_back(step);
    return *this;
}

void UiScript::Start(int timeoutMs) {
    deadline_ = ::GetTickCount() + static_cast<DWORD>(timeoutMs);
    timer_ = ::SetTimer(nullptr, 0, 20, &UiScript::Tick);
    running[timer_] = this;
}

void CALLBACK UiScript::Tick(HWND, UINT, UINT_PTR timer, DWORD) {
    auto found = running.find(timer);
    if (found == running.end()) {
        ::KillTimer(nullptr, timer);
        return;
    }
    UiScript& script = *found->second;
    static bool inside = false;  // a step that pumps messages must not re-enter the script
    if (inside) return;
    if (static_cast<int>(script.deadline_ - ::GetTickCount()) < 0) {
        script.timedOut_ = true;
        ::KillTimer(nullptr, timer);
        running.erase(timer);
        for (HWND hwnd : ThreadWindows()) {
            if (HWND box = FindMessageBox()) ::PostMessageW(box, WM_COMMAND, IDNO, 0);
            ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
        }
        return;
    }
    inside = true;
    while (!script.Done()) {
        const size_t step = script.next_;
        if (!script.steps_[step]()) break;
        ++script.next_;
    }
    inside = false;
    if (script.Done()) {
        ::KillTimer(nullptr, timer);
        running.erase(timer);
    }
}

std::vector<HWND> ThreadWindows() {
    std::vector<HWND> windows;
    ::EnumThreadWindows(::GetCurrentThreadId(), &CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

HWND FindDialogWith(int controlId, const wchar_t* controlClass) {
    for (HWND hwnd : ThreadWindows()) {
        HWND control = ::GetDlgItem(hwnd, controlId);
        if (control && ClassOf(control) == controlClass) return hwnd;
    }
    return nullptr;
}

std::wstring MessageBoxText() {
    HWND box = FindMessageBox();
    return box ? ItemText(box, 0xFFFF) : std::wstring();
}

bool AnswerMessageBox(int button) {
    HWND box = FindMessageBox();
    if (!box) return false;
    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(::GetDlgItem(box, button)));
    return true;
}

std::wstring ItemText(HWND dialog, int id) {
    wchar_t text[4096] = {};
    ::GetDlgItemTextW(dialog, id, text, 4096);
    return text;
}

std::wstring ListText(HWND list, int row, int column) {
    wchar_t text[4096] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 4096;
    ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return text;
}

int ListRows(HWND list) { return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

void SetCheck(HWND list, int row, bool checked) {
    LVITEMW item = {};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    ::SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
}

bool IsChecked(HWND list, int row) {
    return ((::SendMessageW(list, LVM_GETITEMSTATE, row, LVIS_STATEIMAGEMASK) >> 12) - 1) == 1;
}

std::wstring ListInfoTip(HWND dialog, int listId, int row) {
    wchar_t text[1024] = {};
    NMLVGETINFOTIPW tip = {};
    tip.hdr.hwndFrom = ::GetDlgItem(dialog, listId);
    tip.hdr.idFrom = static_cast<UINT_PTR>(listId);
    tip.hdr.code = LVN_GETINFOTIPW;
    tip.pszText = text;
    tip.cchTextMax = 1024;
    tip.iItem = row;
    ::SendMessageW(dialog, WM_NOTIFY, static_cast<WPARAM>(listId), reinterpret_cast<LPARAM>(&tip));
    return text;
}

void Click(HWND dialog, int id) { ::PostMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

}  // namespace TestSupport
