// The version reader's choice of translation, the about box, the web link and the command line's paths.
#include "app/AboutDlg.h"
#include "app/TervanLiveScannerDlg.h"
#include "app/VersionResource.h"
#include "controls/WebLink.h"
#include "resources/resource.h"
#include "tests/support/Sandbox.h"
#include "tests/support/UiScript.h"
#include "tests/support/WindowTest.h"

#include <gtest/gtest.h>

using namespace TestSupport;

namespace {

std::wstring Module(const wchar_t* name) { return FullPath(ExecutableFolder() + name); }

// The page type of ".htm" in the sandbox prefix's registry.
void RegisterPageCommand(const wchar_t* command) {
    HKEY key;
    ::RegCreateKeyW(HKEY_CLASSES_ROOT, L".htm", &key);
    ::RegSetValueW(key, nullptr, REG_SZ, L"TervanTestPage", 0);
    ::RegCloseKey(key);
    ::RegCreateKeyW(HKEY_CLASSES_ROOT, L"TervanTestPage\\shell\\open\\command", &key);
    ::RegSetValueW(key, nullptr, REG_SZ, command, 0);
    ::RegCloseKey(key);
}

void ForgetPageCommand() {
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L".htm");
    ::RegDeleteTreeW(HKEY_CLASSES_ROOT, L"TervanTestPage");
}

}  // namespace

TEST(VersionResources, TheTranslationThatSuitsTheUser) {
    CVersionResource two;
    ASSERT_TRUE(two.Create(Module(L"version_two.dll"), 0x0409));
    EXPECT_EQ(L"2.0-en", two.GetProductVersion()) << "exact language";
    EXPECT_EQ(L"English company", two.GetCompanyName());
    EXPECT_EQ(0xFEEF04BDu, two.GetFixedInfo().dwSignature);
    EXPECT_EQ(0x00000007u, two.GetFixedInfo().dwFileVersionLS);
    EXPECT_EQ(0x00020000u, two.GetFixedInfo().dwFileVersionMS);
    ASSERT_TRUE(two.Create(Module(L"version_two.dll"), 0x0407));
    EXPECT_EQ(L"2.0-en", two.GetProductVersion()) << "no German, no neutral: English";
    ASSERT_TRUE(two.Create(Module(L"version_two.dll"), 0x0819));
    EXPECT_EQ(L"2.0-ru", two.GetProductVersion()) << "same primary language";
    EXPECT_TRUE(two.GetFileDescription().empty());

    CVersionResource one;
    for (LANGID user : {0x0409, 0x0407, 0x0419}) {
        ASSERT_TRUE(one.Create(Module(L"version_one.dll"), user));
        EXPECT_EQ(L"1.2.3.4", one.GetProductVersion());
    }
    EXPECT_FALSE(one.Create(Module(L"no-such-module.dll")));
    EXPECT_TRUE(one.GetProductVersion().empty()) << "a failed read resets";

    const DWORD translations[] = {MAKELONG(0x0407, 1252), MAKELONG(0x0000, 1200), MAKELONG(0x0809, 1252)};
    EXPECT_EQ(translations[1], ChooseTranslation(translations, 3, 0x0411)) << "neutral before English";
    EXPECT_EQ(translations[2], ChooseTranslation(translations + 2, 1, 0x0411));
}

// The shipped binaries say what they are to Explorer's properties and to the system's loader.
TEST(VersionResources, EveryShippedBinaryHasItsVersionAndTheProgramsTheirManifests) {
    for (const wchar_t* file : {L"TervanScanner.exe", L"tervscan.exe", L"Bases\\ScanMain.DLL"}) {
        CVersionResource version;
        ASSERT_TRUE(version.Create(Module(file), 0x0409)) << Narrow(file);
        EXPECT_EQ(L"Tervan! Scanner", version.GetProductName());
        const std::wstring path = file;
        EXPECT_EQ(path.substr(path.rfind(L'\\') + 1), version.GetOriginalFileName());
        EXPECT_NE(0u, version.GetFixedInfo().dwFileVersionMS);
    }
    for (const wchar_t* program : {L"TervanScanner.exe", L"tervscan.exe"}) {
        HMODULE module = ::LoadLibraryExW(Module(program).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module);
        HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
        ASSERT_NE(nullptr, found) << Narrow(program);
        const std::string manifest(static_cast<const char*>(::LockResource(::LoadResource(module, found))),
                                   ::SizeofResource(module, found));
        EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\"")) << Narrow(program);
        EXPECT_NE(std::string::npos, manifest.find("<longPathAware")) << Narrow(program);
        if (std::wstring(program) == L"TervanScanner.exe") EXPECT_NE(std::string::npos, manifest.find(">PerMonitorV2"));
        ::FreeLibrary(module);
    }
}

TEST(AboutBox, RunsModallyOverItsOwnerAndCentredOnIt) {
    HWND ownerWindow = ::CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 300, 200, 700, 500,
                                         nullptr, nullptr, nullptr, nullptr);
    CWnd owner;
    owner.Attach(ownerWindow);
    CAboutDlg dialog(&owner);
    RunModal(dialog, [&] {
        HWND hwnd = dialog.GetSafeHwnd();
        EXPECT_EQ(ownerWindow, ::GetWindow(hwnd, GW_OWNER));
        EXPECT_FALSE(::IsWindowEnabled(ownerWindow)) << "modal: the main window waits";
        RECT outer, inner;
        ::GetWindowRect(ownerWindow, &outer);
        ::GetWindowRect(hwnd, &inner);
        EXPECT_NEAR((outer.left + outer.right) / 2, (inner.left + inner.right) / 2, 2);
        EXPECT_NEAR((outer.top + outer.bottom) / 2, (inner.top + inner.bottom) / 2, 2);
    });
    EXPECT_TRUE(::IsWindowEnabled(ownerWindow));
    owner.Attach(nullptr);
    ::DestroyWindow(ownerWindow);
    EXPECT_EQ(L"The web address is too long to be opened. Please type it into your browser yourself.",
              CWebLink::ErrorMessage(CWebLink::ResultTooLong)) << "plain words, from the string table";
}

TEST(AboutBox, ShowsTheVersionAndAnUnderlinedLink) {
    CAboutDlg dialog(nullptr, Module(L"version_one.dll"));
    RunModal(dialog, [&] {
        HWND hwnd = dialog.GetSafeHwnd();
        EXPECT_EQ(L"Tervan! Scanner Version 1.2.3.4", ItemText(hwnd, IDC_ABOUT_VERSION));
        EXPECT_EQ(L"Tervan! Scanner", CWnd::FromHandle(hwnd)->GetWindowText());
        EXPECT_EQ(L"https://www.tervan.example/", ItemText(hwnd, IDC_WEB_LINK));
        LOGFONTW font = {};
        ::GetObjectW(reinterpret_cast<HFONT>(::SendMessageW(::GetDlgItem(hwnd, IDC_WEB_LINK), WM_GETFONT, 0, 0)),
                     sizeof(font), &font);
        EXPECT_TRUE(font.lfUnderline) << "underlined at all times";
    });
    CAboutDlg hovered;
    RunModal(hovered, [&] {
        HWND hwnd = hovered.GetDlgItem(IDC_WEB_LINK);
        CWebLink* link = static_cast<CWebLink*>(CWnd::FromHandle(hwnd));
        auto pointAt = [](int x, int y) {
            INPUT input = {};
            input.type = INPUT_MOUSE;
            input.mi.dx = x * 65535 / (::GetSystemMetrics(SM_CXSCREEN) - 1);
            input.mi.dy = y * 65535 / (::GetSystemMetrics(SM_CYSCREEN) - 1);
            input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
            ::SendInput(1, &input, sizeof(input));
        };
        RECT rect;
        ::GetWindowRect(hwnd, &rect);
        pointAt((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
        for (int i = 0; i < 100 && !link->IsOver(); ++i) PumpFor(10);
        EXPECT_TRUE(link->IsOver());
        EXPECT_EQ(RGB(255, 0, 0), link->TextColor()) << "red under the pointer";
        pointAt(rect.left, rect.bottom + 60);
        POINT now = {};
        for (int i = 0; i < 150 && (::GetCursorPos(&now), now.y != rect.bottom + 60); ++i) PumpFor(10);
        PumpFor(400);
        EXPECT_FALSE(link->IsOver()) << "back within about 100 milliseconds of leaving";
        EXPECT_EQ(RGB(0, 0, 238), link->TextColor());
    });
    CAboutDlg own;
    RunModal(own, [&] { EXPECT_EQ(L"Tervan! Scanner Version 1.0.0.0", ItemText(own.GetSafeHwnd(), IDC_ABOUT_VERSION)); });
    EXPECT_EQ(L"Tervan! Scanner Version 1.2.3.4", AboutVersionText(L"1.2.3.4"));
}

TEST(WebLinks, TheRegisteredPageCommandIsTheFallback) {
    EXPECT_EQ(L"\"C:\\browser.exe\"  https://x.example/",
              CWebLink::BuildFallbackCommand(L"\"C:\\browser.exe\" \"%1\"", L"https://x.example/"));
    EXPECT_EQ(L"C:\\browser.exe -url  https://x.example/",
              CWebLink::BuildFallbackCommand(L"C:\\browser.exe -url %1", L"https://x.example/"));
    EXPECT_EQ(L"C:\\browser.exe https://x.example/", CWebLink::BuildFallbackCommand(L"C:\\browser.exe", L"https://x.example/"));
    EXPECT_EQ(L"", CWebLink::BuildFallbackCommand(L"C:\\b.exe %1", std::wstring(5000, L'x'))) << "too long: refused";

    std::vector<std::string> started;
    CWebLink::Launcher launcher;
    launcher.shellOpen = [](const std::wstring&) -> INT_PTR { return 31; };
    launcher.runCommand = [&](const std::string& command) -> UINT {
        started.push_back(command);
        return 33;
    };
    CWebLink::SetLauncher(launcher);
    RegisterPageCommand(L"\"C:\\Program Files\\Browser\\browser.exe\" -nohome \"%1\"");
    EXPECT_EQ(33, CWebLink::OpenTarget(L"https://www.tervan.example/"));
    ASSERT_EQ(1u, started.size());
    EXPECT_EQ("\"C:\\Program Files\\Browser\\browser.exe\" -nohome  https://www.tervan.example/", started[0]);
    EXPECT_EQ(CWebLink::ResultTooLong, CWebLink::OpenTarget(L"https://x.example/" + std::wstring(3000, L'a')));
    EXPECT_EQ(1u, started.size()) << "nothing was started for the refused target";
    ForgetPageCommand();
    EXPECT_EQ(31, CWebLink::OpenTarget(L"https://www.tervan.example/")) << "no page command: the shell's result";
    CWebLink::SetLauncher(CWebLink::Launcher());
}

TEST(WebLinks, MessagesAndAFailedClickInTheAboutBox) {
    EXPECT_EQ(L"A sharing violation occurred. ", CWebLink::ErrorMessage(26));
    EXPECT_EQ(L"Unknown Error (99) occurred.", CWebLink::ErrorMessage(99));
    EXPECT_EQ(L"The specified dynamic-link library was not found.", CWebLink::ErrorMessage(32));
    ForgetPageCommand();
    CWebLink::Launcher launcher;
    int opened = 0;
    launcher.shellOpen = [&](const std::wstring&) -> INT_PTR { return ++opened == 1 ? 26 : 42; };
    launcher.runCommand = [](const std::string&) -> UINT { return 0; };
    CWebLink::SetLauncher(launcher);
    CAboutDlg dialog;
    std::wstring message;
    UiScript script;
    script
        .Then([&] {
            HWND link = dialog.GetDlgItem(IDC_WEB_LINK);
            ::PostMessageW(dialog.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_WEB_LINK, STN_CLICKED),
                           reinterpret_cast<LPARAM>(link));
            return true;
        })
        .Then([&] { return !(message = MessageBoxText()).empty(); })
        .Then([&] { return AnswerMessageBox(IDOK); })
        .Then([&] {
            CWebLink* link = static_cast<CWebLink*>(CWnd::FromHandle(dialog.GetDlgItem(IDC_WEB_LINK)));
            EXPECT_FALSE(link->IsVisited());
            EXPECT_EQ(RGB(0, 0, 238), link->TextColor());
            ::PostMessageW(dialog.GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_WEB_LINK, STN_CLICKED),
                           reinterpret_cast<LPARAM>(dialog.GetDlgItem(IDC_WEB_LINK)));
            return true;
        })
        .Then([&] {
            CWebLink* link = static_cast<CWebLink*>(CWnd::FromHandle(dialog.GetDlgItem(IDC_WEB_LINK)));
            if (!link->IsVisited()) return false;
            EXPECT_EQ(RGB(85, 26, 139), link->TextColor()) << "a successful click shows the visited colour";
            ::PostMessageW(dialog.GetSafeHwnd(), WM_COMMAND, IDOK, 0);
            return true;
        });
    EXPECT_EQ(IDOK, RunModal(dialog, [&] {
                  script.Start(20000);
                  EndModalAfter(25000);
              }));
    EXPECT_TRUE(script.Done());
    EXPECT_EQ(L"Unable to open hyperlink:\n\nA sharing violation occurred. ", message);
    CWebLink::SetLauncher(CWebLink::Launcher());
}

TEST(CommandLine, PathsAsExplorerQuotesThem) {
    wchar_t current[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, current);
    const std::wstring here = current;
    EXPECT_TRUE(ScanTargetsFromCommandLine(L"TervanScanner.exe").empty());
    EXPECT_EQ((std::list<std::wstring>{L"D:\\a b\\x.exe", here + (here.back() == L'\\' ? L"" : L"\\") + L"rel", L"E:\\"}),
              ScanTargetsFromCommandLine(L"\"C:\\p\\TervanScanner.exe\" \"D:\\a b\\x.exe\" rel \"E:\\\""));
}
