// The installer: a silent install, the installed program started and closed, a silent uninstall that
// leaves the quarantine alone.
#include "tests/e2e/RemoteWindows.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <shlobj.h>

using namespace TestSupport;

namespace {

DWORD RunAndWait(const std::wstring& command) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring line = command;
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return 0xFFFF;
    ::WaitForSingleObject(info.hProcess, 120000);
    DWORD code = 0xFFFF;
    ::GetExitCodeProcess(info.hProcess, &code);
    ::CloseHandle(info.hThread);
    ::CloseHandle(info.hProcess);
    return code;
}

std::wstring Installer() {
    const std::wstring dist = ExecutableFolder() + L"..\\dist\\";
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW((dist + L"TervanScanner-*-setup.exe").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return std::wstring();
    ::FindClose(find);
    return FullPath(dist + data.cFileName);
}

std::wstring ProgramsMenu() {
    wchar_t path[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_COMMON_PROGRAMS, nullptr, 0, path);
    return path;
}

// The command of Explorer's verb for the class, or empty when there is none.
std::wstring ScanVerbCommand(const std::wstring& fileClass) {
    wchar_t value[1024] = {};
    DWORD size = sizeof(value);
    const std::wstring key = fileClass + L"\\shell\\TervanScanner.Scan\\command";
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

}  // namespace

TEST(Installer, InstallsRunsAndUninstallsWithoutTouchingTheQuarantine) {
    const std::wstring setup = Installer(), target = L"C:\\Program Files\\Tervan Scanner";
    ASSERT_FALSE(setup.empty()) << "no installer in the build's dist folder";
    RemoveTree(target);
    ASSERT_EQ(0u, RunAndWait(L"\"" + setup + L"\" /S /D=" + target));
    for (const wchar_t* file : {L"\\TervanScanner.exe", L"\\tervscan.exe", L"\\USE.txt", L"\\Bases\\ScanMain.DLL",
                                L"\\Bases\\tervan.tvb", L"\\Uninstall.exe"})
        EXPECT_TRUE(FileExists(target + file)) << Narrow(file);
    const std::wstring shortcut = ProgramsMenu() + L"\\Tervan Scanner\\Tervan! Scanner.lnk";
    EXPECT_TRUE(FileExists(shortcut)) << "in the Start menu of all users";
    for (const wchar_t* fileClass : {L"*", L"Directory", L"Drive"})
        EXPECT_EQ(L"\"" + target + L"\\TervanScanner.exe\" \"%1\"", ScanVerbCommand(fileClass)) << Narrow(fileClass);

    {
        RemoteProgram program(target + L"\\TervanScanner.exe", L"Tervan! Scanner");
        HWND main = program.WaitForDialogWith(1000, L"Button");
        ASSERT_NE(nullptr, main);
        EXPECT_EQ(L"Antivirus core: 1.0.0.0", DialogItemText(main, 1005)) << "the reference engine came along";
        EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(main, 1000)));
        ::PostMessageW(main, WM_CLOSE, 0, 0);
        EXPECT_EQ(0u, program.WaitForExit(30000));
    }

    RemoveQuarantineFolders();
    WriteFile(L"D:\\TER.QUAR\\00000000-0000-0000-0000-000000000001.tqr", "a user's quarantined file");
    // _?= runs the uninstaller in place and waits; it then leaves itself and its folder behind.
    EXPECT_EQ(0u, RunAndWait(L"\"" + target + L"\\Uninstall.exe\" /S _?=" + target));
    for (const wchar_t* file : {L"\\TervanScanner.exe", L"\\tervscan.exe", L"\\USE.txt", L"\\Bases\\ScanMain.DLL"})
        EXPECT_FALSE(FileExists(target + file)) << Narrow(file);
    EXPECT_FALSE(FileExists(shortcut));
    EXPECT_EQ(L"", ScanVerbCommand(L"Directory")) << "the verbs go with the program";
    EXPECT_EQ("a user's quarantined file", ReadFile(L"D:\\TER.QUAR\\00000000-0000-0000-0000-000000000001.tqr"));
    RemoveQuarantineFolders();
    RemoveTree(target);
}
