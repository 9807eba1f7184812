// The diagnostic stream: prefixes, and characters that must not silence later lines.
#include "engine/DiagnosticLog.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <fstream>
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
    {
        std::wofstream out(TestSupport::Narrow(path).c_str(), std::ios::binary);  // ASCII path
        out.imbue(AvCore::DiagnosticOutputLocale());
        out << L"\x0416\x6587 " << L"\xD800x" << L" \xD83D\xDE00" << L'\n';
        EXPECT_TRUE(out.good());
        out << L"next\n";
        EXPECT_TRUE(out.good());
    }
    EXPECT_EQ(std::string("\xD0\x96\xE6\x96\x87 \xEF\xBF\xBDx \xF0\x9F\x98\x80\nnext\n"), ReadFile(path));
}
