// The hyperlink control.
#include "controls/WebLink.h"

#include "framework/App.h"
#include "base/Reason.h"
#include "resources/resource.h"

#include <shellapi.h>

namespace {

INT_PTR SystemShellOpen(const std::wstring& target) {
    return reinterpret_cast<INT_PTR>(::ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOW));
}

UINT SystemRunCommand(const std::string& commandLine) { return ::WinExec(commandLine.c_str(), SW_SHOW); }

CWebLink::Launcher& CurrentLauncher() {
    static CWebLink::Launcher launcher = {SystemShellOpen, SystemRunCommand};
    return launcher;
}

// The default value of a class key, read with a limit of 260 bytes; empty when it cannot be read.
std::wstring ClassValue(const std::wstring& key) {
    wchar_t value[130] = {};
    LONG size = sizeof(value);
    if (::RegQueryValueW(HKEY_CLASSES_ROOT, key.c_str(), value, &size) != ERROR_SUCCESS) return std::wstring();
    value[129] = 0;
    return value;
}

}  // namespace

void CWebLink::SetLauncher(const Launcher& launcher) {
    CurrentLauncher().shellOpen = launcher.shellOpen ? launcher.shellOpen : SystemShellOpen;
    CurrentLauncher().runCommand = launcher.runCommand ? launcher.runCommand : SystemRunCommand;
}

std::wstring CWebLink::BuildFallbackCommand(const std::wstring& registeredCommand, const std::wstring& target) {
    std::wstring command = registeredCommand;
    size_t cut = command.find(L"\"%1\"");
    if (cut == std::wstring::npos) cut = command.find(L"%1");
    if (cut != std::wstring::npos) command.erase(cut);
    command += L" " + target;
    return command.size() > MaxCommandLine ? std::wstring() : command;
}

INT_PTR CWebLink::OpenTarget(const std::wstring& target) {
    const INT_PTR shell = CurrentLauncher().shellOpen(target);
    if (shell > 32) return shell;
    const std::wstring pageClass = ClassValue(L".htm");
    if (pageClass.empty()) return shell;
    const std::wstring registered = ClassValue(pageClass + L"\\shell\\open\\command");
    if (registered.empty()) return shell;
    const std::wstring command = BuildFallbackCommand(registered, target);
    if (command.empty()) return ResultTooLong;
    const int size = ::WideCharToMultiByte(CP_ACP, 0, command.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(size > 0 ? size : 1), '\0');
    ::WideCharToMultiByte(CP_ACP, 0, command.c_str(), -1, &narrow[0], size, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return static_cast<INT_PTR>(CurrentLauncher().runCommand(narrow));
}

std::wstring CWebLink::ErrorMessage(INT_PTR result) {
    switch (result) {
    case 0: return L"The operating system is out\nof memory or resources.";
    case 2: return L"The specified file was not found.";
    case 3: return L"The specified path was not found.";
    case 5: return L"The operating system denied\naccess to the specified file.";
    case 8: return L"There was not enough memory to complete the operation.";
    case 11: return L"The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
    case 26: return L"A sharing violation occurred. ";
    case 27: return L"The filename association is\nincomplete or invalid.";
    case 28: return L"The DDE transaction could not\nbe completed because the request timed out.";
    case 29: return L"The DDE transaction failed.";
    case 30: return L"The DDE transaction could not\nbe completed because other DDE transactions\nwere being processed.";
    case 31: return L"There is no application associated\nwith the given filename extension.";
    case 32: return L"The specified dynamic-link library was not found.";
    case ResultTooLong: return ReasonText(Reason(IDS_ADDRESS_TOO_LONG));
    default: {
        wchar_t text[64];
        swprintf(text, 64, L"Unknown Error (%d) occurred.", static_cast<int>(result));
        return text;
    }
    }
}

void CWebLink::SetTarget(const std::wstring& target) {
    target_ = target;
    if (!hwnd_) return;
    FitToText();
    if (tooltip_) {
        TOOLINFOW tool = {};
        tool.cbSize = sizeof(tool);
        tool.hwnd = hwnd_;
        tool.uId = 1;
        tool.lpszText = const_cast<wchar_t*>(target_.c_str());
        ::SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

void CWebLink::SetUnderline(int mode) {
    if (mode != underline_ && hwnd_) {
        SetFont(FontFor(mode == UnderlineAlways), false);
        Invalidate();
    }
    underline_ = mode;
}

void CWebLink::PreSubclassWindow() {
    ::SetWindowLongPtrW(hwnd_, GWL_STYLE, GetStyle() | SS_NOTIFY);
    const std::wstring text = GetWindowText();
    if (target_.empty()) target_ = text;
    if (text.empty()) SetWindowText(target_);

    HFONT font = GetFont();
    if (!font) font = static_cast<HFONT>(::GetStockObject(DEFAULT_GUI_FONT));
    if (!font) font = static_cast<HFONT>(::GetStockObject(SYSTEM_FONT));
    LOGFONTW description = {};
    ::GetObjectW(font, sizeof(description), &description);
    description.lfUnderline = FALSE;
    plain_.CreateFontIndirect(description);
    description.lfUnderline = TRUE;
    underlined_.CreateFontIndirect(description);
    FitToText();

    if (!cursor_) {
        wchar_t windows[MAX_PATH] = {};
        ::GetWindowsDirectoryW(windows, MAX_PATH);
        Win::ModuleHandle help(::LoadLibraryExW((std::wstring(windows) + L"\\winhlp32.exe").c_str(), nullptr,
                                                LOAD_LIBRARY_AS_DATAFILE));
        if (help) {
            HCURSOR hand = ::LoadCursorW(help.Get(), MAKEINTRESOURCEW(106));
            if (hand) cursor_.Reset(static_cast<HCURSOR>(::CopyIcon(hand)));  // CopyCursor is CopyIcon
        }
        // Not there under Wine nor on current Windows: the system's own hand.
        if (!cursor_) cursor_.Reset(static_cast<HCURSOR>(::CopyIcon(::LoadCursorW(nullptr, IDC_HAND))));
    }
    const int mode = underline_;
    underline_ = UnderlineHover;
    SetUnderline(mode);

    tooltip_ = ::CreateWindowExW(0, TOOLTIPS_CLASSW, nullptr, TTS_ALWAYSTIP, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr, CWinApp::Instance(), nullptr);
    if (tooltip_) {
        TOOLINFOW tool = {};
        tool.cbSize = sizeof(tool);
        tool.hwnd = hwnd_;
        tool.uId = 1;
        tool.rect = GetClientRect();
        tool.lpszText = const_cast<wchar_t*>(target_.c_str());
        ::SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
}

void CWebLink::FitToText() {
    if (!autoSize_ || !hwnd_) return;
    const std::wstring text = GetWindowText();
    HDC dc = ::GetDC(hwnd_);
    HGDIOBJ old = ::SelectObject(dc, underlined_.Get());
    SIZE size = {};
    ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    ::SelectObject(dc, old);
    ::ReleaseDC(hwnd_, dc);

    RECT window = GetWindowRect();
    HWND parent = ::GetParent(hwnd_);
    ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&window), 2);
    const RECT client = GetClientRect();
    const int width = size.cx + (window.right - window.left) - client.right;
    const int height = size.cy + (window.bottom - window.top) - client.bottom;
    const LONG_PTR style = GetStyle();
    int left = window.left, top = window.top;
    if ((style & SS_TYPEMASK) == SS_CENTER) left = (window.left + window.right - width) / 2;
    else if ((style & SS_TYPEMASK) == SS_RIGHT) left = window.right - width;
    if (style & SS_CENTERIMAGE) top = (window.top + window.bottom - height) / 2;
    ::SetWindowPos(hwnd_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

bool CWebLink::PreTranslateMessage(MSG* msg) {
    if (tooltip_) ::SendMessageW(tooltip_, TTM_RELAYEVENT, 0, reinterpret_cast<LPARAM>(msg));
    return false;
}

bool CWebLink::OnChildNotify(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result) {
    if (message == WM_CTLCOLORSTATIC) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        ::SetTextColor(dc, TextColor());
        ::SetBkMode(dc, TRANSPARENT);
        *result = reinterpret_cast<LRESULT>(::GetStockObject(HOLLOW_BRUSH));
        return true;
    }
    if (message == WM_COMMAND && HIWORD(wParam) == STN_CLICKED) {
        OnClick();
        return true;
    }
    return false;
}

void CWebLink::OnClick() {
    over_ = false;
    const INT_PTR result = OpenTarget(target_);
    if (result > 32) {
        visited_ = true;
        Invalidate();
        return;
    }
    ::MessageBeep(MB_ICONEXCLAMATION);
    AppMessageBox(L"Unable to open hyperlink:\n\n" + ErrorMessage(result), MB_ICONEXCLAMATION | MB_OK);
}

LRESULT CWebLink::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_MOUSEMOVE:
        if (!over_) {
            over_ = true;
            if (underline_ == UnderlineHover) SetFont(underlined_.Get(), false);
            Invalidate();
            ::SetTimer(hwnd_, HoverTimer, 100, nullptr);
        }
        break;
    case WM_TIMER:
        if (wParam == HoverTimer) {
            // Where the pointer is now; a timer message's own position can be older than the last move.
            POINT point;
            ::GetCursorPos(&point);
            ::ScreenToClient(hwnd_, &point);
            RECT client = GetClientRect();
            if (!::PtInRect(&client, point)) {
                over_ = false;
                ::KillTimer(hwnd_, HoverTimer);
                if (underline_ != UnderlineAlways) SetFont(plain_.Get(), false);
                client.bottom += 10;
                ::InvalidateRect(hwnd_, &client, TRUE);
            }
        }
        break;
    case WM_SETCURSOR:
        if (cursor_) {
            ::SetCursor(cursor_.Get());
            return TRUE;
        }
        return FALSE;
    case WM_ERASEBKGND: {
        RECT client = GetClientRect();
        ::FillRect(reinterpret_cast<HDC>(wParam), &client, ::GetSysColorBrush(COLOR_BTNFACE));
        return TRUE;
    }
    case WM_DESTROY:
        ::KillTimer(hwnd_, HoverTimer);
        break;
    default:
        break;
    }
    return Default(message, wParam, lParam);
}
