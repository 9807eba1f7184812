// Other processes' windows for end-to-end tests.
#include "tests/e2e/RemoteWindows.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <functional>

namespace TestSupport {
namespace {

struct Search {
    DWORD process;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectTopLevel(HWND hwnd, LPARAM parameter) {
    Search* search = reinterpret_cast<Search*>(parameter);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(hwnd, &owner);
    if (owner == search->process && ::IsWindowVisible(hwnd)) search->found.push_back(hwnd);
    return TRUE;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    ::GetClassNameW(hwnd, name, 64);
    return name;
}

// Memory in the other process, for messages that carry pointers.
class RemoteBuffer {
public:
    RemoteBuffer(HANDLE process, size_t size)
        : process_(process), address_(::VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE)) {}
    ~RemoteBuffer() {
        if (address_) ::VirtualFreeEx(process_, address_, 0, MEM_RELEASE);
    }
    void* Address() const { return address_; }
    void Write(size_t offset, const void* data, size_t size) const {
        ::WriteProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, nullptr);
    }
    void Read(size_t offset, void* data, size_t size) const {
        ::ReadProcessMemory(process_, static_cast<char*>(address_) + offset, data, size, nullptr);
    }
    void Keep() { address_ = nullptr; }  // the other process owns it now

private:
    HANDLE process_;
    void* address_;
};

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    const DWORD start = ::GetTickCount();
    while (::GetTickCount() - start < timeoutMs) {
        if (condition()) return true;
        ::Sleep(20);
    }
    return condition();
}

std::wstring WindowText(HWND window) {
    wchar_t text[4096] = {};
    ::GetWindowTextW(window, text, 4096);
    return text;
}

std::wstring DialogItemText(HWND dialog, int id) { return WindowText(::GetDlgItem(dialog, id)); }

void PressButton(HWND dialog, int id) { ::PostMessageW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

RemoteProgram::RemoteProgram(const std::wstring& program, const std::wstring& title, const std::wstring& arguments) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring command = L"\"" + program + L"\"" + (arguments.empty() ? L"" : L" " + arguments);
    const std::wstring folder = program.substr(0, program.rfind(L'\\'));
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup, &info))
        return;
    ::CloseHandle(info.hThread);
    process_ = info.hProcess;
    id_ = info.dwProcessId;
    ::WaitForInputIdle(process_, 30000);
    main_ = WaitForWindow(title);
}

RemoteProgram::~RemoteProgram() {
    if (!process_) return;
    if (::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(process_, 1);
        ::WaitForSingleObject(process_, 10000);
    }
    ::CloseHandle(process_);
}

DWORD RemoteProgram::WaitForExit(DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    if (process_ && ::WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0) ::GetExitCodeProcess(process_, &code);
    return code;
}

std::vector<HWND> RemoteProgram::Windows() const {
    Search search = {id_, {}};
    ::EnumWindows(&CollectTopLevel, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND RemoteProgram::WaitForWindow(const std::wstring& captionStart, DWORD timeoutMs, bool withList) const {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND hwnd : Windows())
                if (WindowText(hwnd).compare(0, captionStart.size(), captionStart) == 0 &&
                    (!withList || ::FindWindowExW(hwnd, nullptr, L"SysListView32", nullptr))) {
                    found = hwnd;
                    return true;
                }
            return false;
        },
        timeoutMs);
    return found;
}

HWND RemoteProgram::FindDialogWith(int id, const wchar_t* className) const {
    for (HWND hwnd : Windows()) {
        HWND control = ::GetDlgItem(hwnd, id);
        if (control && ClassOf(control) == className) return hwnd;
    }
    return nullptr;
}

HWND RemoteProgram::WaitForDialogWith(int id, const wchar_t* className, DWORD timeoutMs) const {
    HWND found = nullptr;
    WaitUntil([&] { return (found = FindDialogWith(id, className)) != nullptr; }, timeoutMs);
    return found;
}

HWND RemoteProgram::FindMessageBox(std::wstring* text) const {
    for (HWND hwnd : Windows()) {
        HWND message = ::GetDlgItem(hwnd, 0xFFFF);
        if (ClassOf(hwnd) == L"#32770" && message && (::GetDlgItem(hwnd, IDOK) || ::GetDlgItem(hwnd, IDYES))) {
            if (text) *text = WindowText(message);
            return hwnd;
        }
    }
    return nullptr;
}

std::wstring RemoteProgram::ListText(HWND list, int row, int column) const {
    const size_t characters = 2048;
    RemoteBuffer buffer(process_, sizeof(LVITEMW) + characters * sizeof(wchar_t));
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = reinterpret_cast<wchar_t*>(static_cast<char*>(buffer.Address()) + sizeof(LVITEMW));
    item.cchTextMax = static_cast<int>(characters);
    buffer.Write(0, &item, sizeof(item));
    ::SendMessageW(list, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(buffer.Address()));
    std::vector<wchar_t> text(characters + 1, 0);
    buffer.Read(sizeof(LVITEMW), text.data(), characters * sizeof(wchar_t));
    return text.data();
}

int RemoteProgram::ListRows(HWND list) const { return static_cast<int>(::SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

void RemoteProgram::SetListCheck(HWND list, int row, bool checked) const {
    RemoteBuffer buffer(process_, sizeof(LVITEMW));
    LVITEMW item = {};
    item.stateMask = LVIS_STATEIMAGEMASK;
    item.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
    buffer.Write(0, &item, sizeof(item));
    ::SendMessageW(list, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(buffer.Address()));
}

void RemoteProgram::DropFiles(HWND window, const std::vector<std::wstring>& paths) const {
    std::wstring names;
    for (const std::wstring& path : paths) names += path + L'\0';
    names += L'\0';
    DROPFILES header = {};
    header.pFiles = sizeof(header);
    header.fWide = TRUE;
    RemoteBuffer buffer(process_, sizeof(header) + names.size() * sizeof(wchar_t));
    buffer.Write(0, &header, sizeof(header));
    buffer.Write(sizeof(header), names.data(), names.size() * sizeof(wchar_t));
    ::PostMessageW(window, WM_DROPFILES, reinterpret_cast<WPARAM>(buffer.Address()), 0);
    buffer.Keep();  // the drop's receiver finishes with it
}

}  // namespace TestSupport
