// The application object and the program's message box.
#include "framework/App.h"

CWinApp* CWinApp::current_ = nullptr;

CWinApp::CWinApp() { current_ = this; }

CWinApp::~CWinApp() {
    if (current_ == this) current_ = nullptr;
}

int AppMessageBox(const std::wstring& text, UINT type) {
    return ::MessageBoxW(::GetActiveWindow(), text.c_str(), L"Tervan! Scanner", type);
}
