// The diagnostic stream: prefixes, and characters that must not silence later lines.
#include "base/DiagnosticLog.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <boost/thread/thread.hpp>

#include <sstream>
#include <iostream>

using namespace TestSupport;

TEST(DiagnosticLog, LinesCarryTheirPrefixAndSurviveAFailedStream) {
    LogCapture log;
    AvCore::DebugLine() << L"Loading disk: " << L'd' << L'\n';
    std::wcout.setstate(std::ios::badbit);
    AvCore::WarnLine() << L"Disk '" << L'D' << L"' is already attached" << L'\n';
    AvCore::DebugLine() << L"[Restore] : id=" << 7 << L'\n';
    const std::vector<std::wstring> lines = log.Lines();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ(L"[DEBUG] Loading disk: d", lines[0]);
    EXPECT_EQ(L"[WARN] Disk 'D' is already attached", lines[1]);
    EXPECT_EQ(L"[DEBUG] [Restore] : id=7", lines[2]);
}

TEST(DiagnosticLog, OutputIsUtf8AndStraySurrogatesDoNotFailTheStream) {
    ScratchFolder folder;
    const std::wstring path = folder / L"out.txt";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    {
        std::unique_ptr<std::wstreambuf> buffer = AvCore::MakeUtf8Output(file);
        std::wostream out(buffer.get());
        out << L"\x0416\x6587 " << L"\xD800x" << L" \xD83D" << L"\xDE00 \xDC00" << L'\n';
        EXPECT_TRUE(out.good());
        out << L"next" << 42 << L'\n';
        EXPECT_TRUE(out.good());
        EXPECT_EQ("", ReadFile(path)) << "lines are not flushed one by one";
    }
    ::CloseHandle(file);
    EXPECT_EQ(std::string("\xD0\x96\xE6\x96\x87 \xEF\xBF\xBDx \xF0\x9F\x98\x80 \xEF\xBF\xBD\nnext42\n"), ReadFile(path));
}

TEST(DiagnosticLog, LinesFromManyThreadsStayWhole) {
    ScratchFolder folder;
    const std::wstring path = folder / L"threads.txt";
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    {
        std::unique_ptr<std::wstreambuf> buffer = AvCore::MakeUtf8Output(file);
        std::wostream out(buffer.get());
        std::vector<boost::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([&out, t] {
                // A line in several insertions, as the program's diagnostic lines are written.
                for (int i = 0; i < 3000; ++i) out << L"<piece-" << t << L"-" << i << L">" << L'\n';
            });
        for (boost::thread& thread : threads) thread.join();
    }
    ::CloseHandle(file);
    const std::string text = ReadFile(path);
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        ++count;
        EXPECT_TRUE(line.size() > 8 && line.compare(0, 7, "<piece-") == 0 && line.back() == '>' &&
                    line.find('<', 1) == std::string::npos)
            << line;
    }
    EXPECT_EQ(12000, count);
}

namespace {

// Runs log_child with the given standard output and returns its exit code.
DWORD RunLogChild(HANDLE output) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    PROCESS_INFORMATION process = {};
    std::wstring command = L"\"" + ExecutableFolder() + L"log_child.exe\"";
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        return 0xFFFFFFFF;
    ::WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0xFFFFFFFF;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return code;
}

}  // namespace

TEST(DiagnosticLog, AProcessWithoutStandardOutputRunsAsWithOne) {
    EXPECT_EQ(0u, RunLogChild(nullptr)) << "the lines must be lost, not the process";

    ScratchFolder folder;
    const std::wstring path = folder / L"out.txt";
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    EXPECT_EQ(0u, RunLogChild(file));
    ::CloseHandle(file);
    const std::string text = ReadFile(path);
    EXPECT_EQ(0u, text.find("[DEBUG] Loading container: d:\\TER.QUAR\\\xD1\x84\xD0\xB0\xD0\xB9\xD0\xBB-0.tqr\n"
                            "[WARN] Failed to load container : Quarantine error: Validation error\n"));
    EXPECT_NE(std::string::npos, text.find("-1999.tqr\n"));
}
