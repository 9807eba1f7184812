// Scan tasks, fixed drives, the extension filter, the engine folder and file checksums.
#include "scan/EngineManager.h"
#include "quarantine/QuarantineManager.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

using namespace TestSupport;

TEST(ScanTasks, PotentiallyDangerousExtensionsAreTheSixtyOne) {
    const std::wstring list = PotentiallyDangerousExtensions;
    EXPECT_EQ(253u, list.size());
    EXPECT_EQ(62, std::count(list.begin(), list.end(), L'.')) << "61 extensions and the closing dot";
    EXPECT_EQ(L'.', list.back());
    EXPECT_EQ(0u, list.find(L".inf.bat.cmd.lnk.pif.exe.dll"));
}

TEST(ScanTasks, TheFilterMatchesWholeExtensionsOnly) {
    const std::wstring quick = PotentiallyDangerousExtensions;
    EXPECT_TRUE(PassesExtensionFilter(L"SETUP.EXE", quick));
    EXPECT_FALSE(PassesExtensionFilter(L"notes.txt", quick));
    EXPECT_TRUE(PassesExtensionFilter(L"README", quick));
    EXPECT_TRUE(PassesExtensionFilter(L"page.ht", quick));
    EXPECT_TRUE(PassesExtensionFilter(L"page.htm", quick));
    EXPECT_TRUE(PassesExtensionFilter(L"a.php", quick));
    EXPECT_TRUE(PassesExtensionFilter(L"a.php3", quick));
    EXPECT_FALSE(PassesExtensionFilter(L"a.h", quick)) << ".h. is not in the list although .ht. is";
    EXPECT_FALSE(PassesExtensionFilter(L"a.ph", quick));
    EXPECT_FALSE(PassesExtensionFilter(L"name.", quick));
    EXPECT_TRUE(PassesExtensionFilter(L"archive.tar.pdf", quick));
    EXPECT_TRUE(PassesExtensionFilter(L"anything.xyz", L""));

    EXPECT_TRUE(PassesExtensionFilter(L"A.EXE", L".exe."));
    EXPECT_FALSE(PassesExtensionFilter(L"a.exe.bak", L".exe."));
    EXPECT_TRUE(PassesExtensionFilter(L"makefile", L".exe."));
    EXPECT_TRUE(PassesExtensionFilter(L"\x0424\x0410\x0419\x041B.EXE", L".exe."));
}

TEST(ScanTasks, FixedDrivesFromCToZ) {
    AvScanTask task(AvScanTask::Full);
    AddFixedDrives(task, false);
    EXPECT_EQ((std::list<std::wstring>{L"C:\\", L"D:\\", L"E:\\"}), task.targets) << "B: is fixed but never taken";
    AvScanTask developer(AvScanTask::Full);
    AddFixedDrives(developer, true);
    EXPECT_EQ((std::list<std::wstring>{L"D:\\", L"E:\\"}), developer.targets);
    AvScanTask machine(AvScanTask::Quick);
    AddFixedDrives(machine);
    EXPECT_EQ(task.targets, machine.targets) << "this machine is not the developer's";
}

TEST(ScanTasks, DeveloperMachineNeedsBothExactNames) {
    EXPECT_TRUE(IsDeveloperMachine(L"qzvxk", L"jxwq"));
    EXPECT_FALSE(IsDeveloperMachine(L"QZVXK", L"jxwq"));
    EXPECT_FALSE(IsDeveloperMachine(L"qzvxk", L"root"));
    EXPECT_FALSE(IsDeveloperMachine(L"qzvxk ", L"jxwq"));
    EXPECT_FALSE(IsDeveloperMachine());
}

TEST(ScanTasks, QuickAndFullTasksNeedAnEngine) {
    AvQuarantineManager quarantine;
    AvEngineManager manager(quarantine);
    EXPECT_FALSE(MakeQuickScanTask(manager));
    EXPECT_FALSE(MakeFullScanTask(manager));
    manager.InitEngine(EngineFolder(L"test"));
    boost::shared_ptr<AvScanTask> quick = MakeQuickScanTask(manager), full = MakeFullScanTask(manager);
    ASSERT_TRUE(quick && full);
    EXPECT_EQ(AvScanTask::Quick, quick->type);
    EXPECT_EQ(0u, quick->extensionFilter.find(PotentiallyDangerousExtensions));
    for (const wchar_t* archive : {L".zip.", L".7z.", L".rar.", L".tgz.", L".deb."})
        EXPECT_NE(std::wstring::npos, quick->extensionFilter.find(archive)) << "archives are how threats arrive";
    EXPECT_EQ(std::wstring::npos, quick->extensionFilter.find(L".txt."));
    EXPECT_EQ(AvScanTask::Full, full->type);
    EXPECT_TRUE(full->extensionFilter.empty());
    EXPECT_EQ((std::list<std::wstring>{L"C:\\", L"D:\\", L"E:\\"}), full->targets);
    EXPECT_FALSE(full->scanner);
    EXPECT_EQ(0, full->stats.checked + full->stats.total);
}

TEST(ScanTasks, EngineFolderIsBasesBesideTheProgram) {
    EXPECT_EQ(ExecutableFolder() + L"Bases", GetEngineFolder());
}

TEST(FileChecksums, StandardCrc32) {
    ScratchFolder folder;
    WriteFile(folder / L"check", "123456789");
    EXPECT_EQ(0xCBF43926u, FileCrc32((folder / L"check").c_str()));
    WriteFile(folder / L"empty", "");
    EXPECT_EQ(0u, FileCrc32((folder / L"empty").c_str()));
    EXPECT_EQ(0xFFFFFFFFu, FileCrc32((folder / L"missing").c_str()));
    EXPECT_EQ(0xFFFFFFFFu, FileCrc32(nullptr));
    std::string big(100000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + i / 13);
    WriteFile(folder / L"big", big);
    uint32_t crc = 0xFFFFFFFF;  // bit by bit, independent of the table
    for (unsigned char c : big) {
        crc ^= c;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    EXPECT_EQ(~crc, FileCrc32((folder / L"big").c_str()));
}
