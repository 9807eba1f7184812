// Drives windows from inside whatever modal loop is running on this thread (dialogs, message boxes,
// message pumps): steps run one after another from a thread timer; a step returns false to be tried
// again on the next tick.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

class UiScript {
public:
    UiScript& Then(const std::function<bool()>& step);
    // Runs until every step is done; after the timeout every dialog of this thread is closed.
    void Start(int timeoutMs = 60000);
    bool Done() const { return next_ >= steps_.size(); }
    bool TimedOut() const { return timedOut_; }
    size_t StepsDone() const { return next_; }

private:
    static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
    std::vector<std::function<bool()>> steps_;
    size_t next_ = 0;
    DWORD deadline_ = 0;
    bool timedOut_ = false;
    UINT_PTR timer_ = 0;
};

// Visible top-level windows of this thread.
std::vector<HWND> ThreadWindows();
// A visible dialog of this thread that has a control of the given id and class.
HWND FindDialogWith(int controlId, const wchar_t* controlClass);
// The text of a visible message box of this thread, or empty; Answer clicks a button of it.
std::wstring MessageBoxText();
bool AnswerMessageBox(int button);
std::wstring ItemText(HWND dialog, int id);
std::wstring ListText(HWND list, int row, int column);
int ListRows(HWND list);
// The tooltip a list row of the dialog shows (LVN_GETINFOTIPW), or empty.
std::wstring ListInfoTip(HWND dialog, int listId, int row);
void SetCheck(HWND list, int row, bool checked);  // a list view row's check box
bool IsChecked(HWND list, int row);
void Click(HWND dialog, int id);

}  // namespace TestSupport
