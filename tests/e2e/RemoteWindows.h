// Driving another process's windows as a user would: finding them, reading texts and list rows,
// clicking, checking rows and dropping files.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace TestSupport {

class RemoteProgram {
public:
    // Starts the program (from its folder, with the arguments) and waits for its main window.
    RemoteProgram(const std::wstring& program, const std::wstring& title, const std::wstring& arguments = std::wstring());
    ~RemoteProgram();
    RemoteProgram(const RemoteProgram&) = delete;
    RemoteProgram& operator=(const RemoteProgram&) = delete;

    HANDLE Process() const { return process_; }
    HWND Main() const { return main_; }
    // Waits for the process to end; its exit code, or STILL_ACTIVE when it did not end in time.
    DWORD WaitForExit(DWORD timeoutMs);

    // Top-level windows of the program, visible ones only.
    std::vector<HWND> Windows() const;
    // The first visible top-level window whose caption starts with the text, waiting up to the timeout.
    HWND WaitForWindow(const std::wstring& captionStart, DWORD timeoutMs = 30000, bool withList = false) const;
    // A visible dialog that holds a control of this id and class.
    HWND FindDialogWith(int id, const wchar_t* className) const;
    HWND WaitForDialogWith(int id, const wchar_t* className, DWORD timeoutMs = 30000) const;
    // A visible message box of the program, and its text.
    HWND FindMessageBox(std::wstring* text = nullptr) const;

    std::wstring ListText(HWND list, int row, int column) const;
    int ListRows(HWND list) const;
    void SetListCheck(HWND list, int row, bool checked) const;
    // Posts WM_DROPFILES with these paths, as a drop from the shell does.
    void DropFiles(HWND window, const std::vector<std::wstring>& paths) const;

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    HWND main_ = nullptr;
};

std::wstring WindowText(HWND window);
std::wstring DialogItemText(HWND dialog, int id);
void PressButton(HWND dialog, int id);
// Waits until the condition holds (polling), false after the timeout.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = 30000);

}  // namespace TestSupport
