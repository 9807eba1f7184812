// CWinApp: the application object; wWinMain runs its InitInstance. Also the program's message box.
#pragma once

#include <windows.h>

#include <string>

class CWnd;

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Returns false when the program is to end without a message loop of its own.
    virtual BOOL InitInstance() { return FALSE; }

    static CWinApp* Get() { return current_; }
    // The module that holds the resources: the program itself.
    static HINSTANCE Instance() { return ::GetModuleHandleW(nullptr); }

    CWnd* mainWnd = nullptr;

private:
    static CWinApp* current_;
};

// A message box titled "Tervan! Scanner", owned by the active window of this thread.
int AppMessageBox(const std::wstring& text, UINT type);
