// A process that quarantines files is killed at random moments; what it leaves must load cleanly
// and restore byte for byte.
#include "quarantine/Quarantine.h"
#include "tests/quarantine/QuarantineTestSupport.h"
#include "tests/quarantine/StoreRecorder.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace Quarantine;
using namespace TestSupport;

TEST(StoreKills, KilledAddsLeaveOnlyCompleteContainers) {
    RemoveQuarantineFolders();
    ScratchFolder sources;
    std::map<std::wstring, std::string> originals;
    const size_t sizes[] = {0, 1, 4095, 4096, 70000, 300000, 1200000, 2500000};
    for (size_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); ++i) {
        const std::wstring path = sources / (L"file" + std::to_wstring(i) + L".bin");
        originals[path] = PatternContent(sizes[i], static_cast<unsigned>(i + 100));
        WriteFile(path, originals[path]);
    }

    std::mt19937 random(424242);
    std::wstring command = L"\"" + ExecutableFolder() + L"quarantine_child.exe\" \"" + sources.Path() + L"\"";
    const int kills = 40;
    for (int kill = 0; kill < kills; ++kill) {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;  // its diagnostic lines go nowhere
        PROCESS_INFORMATION process = {};
        std::vector<wchar_t> line(command.begin(), command.end());
        line.push_back(0);
        ASSERT_TRUE(::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &process));
        ::Sleep(150 + random() % 400);
        ::TerminateProcess(process.hProcess, 1);
        ::WaitForSingleObject(process.hProcess, INFINITE);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
    }

    LogCapture log;
    CQuarantine store(L"d");
    ASSERT_TRUE(WaitForLoad(store));
    EntryTable entries;
    store.GetEntries(entries);
    EXPECT_GT(entries.size(), 0u) << "the child never completed an add";
    for (const std::wstring& line : log.Lines())
        EXPECT_EQ(std::wstring::npos, line.find(L"Failed to load container")) << Narrow(line);

    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(L"D:\\TER.QUAR\\*.!tqr", &data);
    EXPECT_EQ(INVALID_HANDLE_VALUE, find) << "a partial container was left";
    if (find != INVALID_HANDLE_VALUE) ::FindClose(find);

    ScratchFolder restored;
    int checked = 0;
    for (const auto& entry : entries) {
        const std::wstring original = L"D" + entry.second.OriginalPath.substr(1);
        ASSERT_EQ(1u, originals.count(original)) << Narrow(entry.second.OriginalPath);
        const std::wstring target = restored / L"out.bin";
        store.Restore(entry.first, target.c_str(), true);
        EXPECT_TRUE(originals[original] == ReadFile(target)) << Narrow(original);
        ++checked;
    }
    std::printf("%d kills, %d complete containers restored byte for byte\n", kills, checked);
    RemoveQuarantineFolders();
}
