// Whole scans through the engine manager with the test engine, over trees on the test drives.
#include "base/LiteralPath.h"
#include "base/WinHandle.h"
#include "quarantine/QuarantineManager.h"
#include "resources/resource.h"
#include "scan/EngineManager.h"
#include "tests/engine/TestEngineAccess.h"
#include "tests/quarantine/QuarantineTestSupport.h"
#include "tests/scan/ScanEvents.h"
#include "tests/support/Sandbox.h"

#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include <atomic>
#include <set>

using namespace TestSupport;

namespace {

boost::shared_ptr<Quarantine::CQuarantine> DiskD() {
    return boost::shared_ptr<Quarantine::CQuarantine>(new Quarantine::CQuarantine(L"d"));
}

class Scans : public ::testing::Test {
protected:
    Scans() : quarantine(DiskD), manager(quarantine), events(manager) {
        RemoveQuarantineFolders();
        quarantine.Start();
        manager.InitEngine(EngineFolder(L"test"));
        ResetEngineStats(EngineFolder(L"test"));
    }
    ~Scans() override {
        manager.Stop();
        RemoveQuarantineFolders();
    }

    boost::shared_ptr<AvScanTask> Task(std::list<std::wstring> targets, const std::wstring& filter = L"") {
        boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Custom));
        task->targets = targets;
        task->extensionFilter = filter;
        return task;
    }
    // Runs the task to its end and returns it.
    boost::shared_ptr<AvScanTask> Run(const boost::shared_ptr<AvScanTask>& task) {
        EXPECT_TRUE(manager.StartScan(task));
        EXPECT_TRUE(events.WaitForFinish());
        return task;
    }
    std::wstring File(const std::wstring& name, const std::string& content) {
        WriteFile(tree / name, content);
        return tree / name;
    }
    size_t QuarantineEntries() {
        AvQuarantineManager::Snapshot snapshot;
        quarantine.GetSnapshot(snapshot);
        return snapshot.size();
    }

    ScratchFolder tree;
    AvQuarantineManager quarantine;
    AvEngineManager manager;
    ScanEvents events;
};

void ExpectProgressWellFormed(const ScanEvents& events, bool completed) {
    int previous = 0;
    for (const ScanEvent& e : events.Of("progress")) {
        EXPECT_NE(previous, e.value) << "a percentage was repeated";
        EXPECT_GE(e.value, 0);
        EXPECT_LE(e.value, 100);
        previous = e.value;
    }
    if (completed) {
        EXPECT_EQ(100, previous);
    } else {
        for (const ScanEvent& e : events.Of("progress")) EXPECT_NE(100, e.value) << "an aborted scan reached 100";
    }
}

}  // namespace

TEST_F(Scans, CleanTreeIsCountedAndScannedInOrder) {
    for (int i = 0; i < 30; ++i) File(L"dir" + std::to_wstring(i % 3) + L"\\f" + std::to_wstring(i) + L".exe", "clean");
    File(L"skip.txt", "not wanted by the filter");
    boost::shared_ptr<AvScanTask> task = Run(Task({tree.Path()}, PotentiallyDangerousExtensions));
    EXPECT_EQ(30, task->stats.checked);
    EXPECT_EQ(30, task->stats.total);
    EXPECT_TRUE(task->stats.totalKnown);
    EXPECT_EQ(0, task->stats.found);
    const std::vector<ScanEvent> all = events.All();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ("started", all.front().kind);
    EXPECT_EQ("finished", all.back().kind);
    EXPECT_EQ(1, all.back().value);
    EXPECT_EQ(30u, events.Count("object"));
    for (const ScanEvent& e : events.Of("object")) EXPECT_EQ(0, e.value) << "files are announced with false";
    EXPECT_EQ(0u, events.Count("threat"));
    ExpectProgressWellFormed(events, true);
}

TEST_F(Scans, DetectionsCuresAndQuarantineCopies) {
    const std::wstring plain = File(L"plain.exe", "TVE:DETECT 1 Plain.Virus\n");
    const std::string curableContent = "header\nTVE:DETECT 2 Cure.Me curable\n";
    const std::wstring curable = File(L"curable.exe", curableContent);
    const std::wstring stubborn = File(L"stubborn.exe", "TVE:DETECT 1 Stubborn curable\nTVE:CURE nochange\n");
    const std::wstring twice = File(L"twice.exe", "TVE:DETECT 1 First curable\nTVE:DETECT 1 Second curable\nTVE:CURE one\n");
    boost::shared_ptr<AvScanTask> task = Run(Task({plain, curable, stubborn, twice}));

    EXPECT_EQ(4, task->stats.checked);
    EXPECT_EQ(5, task->stats.found);
    EXPECT_EQ(3, task->stats.cured);
    const std::vector<ScanEvent> threats = events.Of("threat");
    ASSERT_EQ(5u, threats.size());
    EXPECT_EQ(plain, threats[0].text);
    EXPECT_FALSE(threats[0].cured || threats[0].quarantined) << "not curable: left alone, no copy";
    EXPECT_EQ(curable, threats[1].text);
    EXPECT_TRUE(threats[1].cured && threats[1].quarantined);
    EXPECT_EQ(stubborn, threats[2].text);
    EXPECT_FALSE(threats[2].cured) << "a cure that changed nothing is no cure";
    EXPECT_TRUE(threats[2].quarantined);
    EXPECT_TRUE(threats[3].cured && threats[4].cured) << "a changed file is scanned again";
    EXPECT_EQ(4u, QuarantineEntries()) << "a copy before every cure attempt";
    EXPECT_EQ(std::string::npos, ReadFile(curable).find("TVE:DETECT"));

    // The copy holds the file as it was before the cure.
    AvQuarantineManager::Snapshot snapshot;
    quarantine.GetSnapshot(snapshot);
    for (const auto& entry : snapshot) {
        if (entry.second.OriginalPath != curable) continue;
        const std::wstring restored = tree / L"restored.exe";
        quarantine.GetStore()->Restore(entry.first, restored.c_str(), true);
        EXPECT_EQ(curableContent, ReadFile(restored));
        EXPECT_TRUE(entry.second.Curable);
        EXPECT_FALSE(entry.second.CodeIsOne);
        EXPECT_EQ(L"Cure.Me", entry.second.ThreatName);
    }
}

TEST_F(Scans, WhatAnotherProgramAddsDuringACureIsRefusedOrKeptNeverCutAway) {
    // The engine takes its time, then cuts the file where the detection begins.
    const std::wstring path = File(L"busy.exe", "host\nTVE:DETECT 1 Busy curable\nTVE:CURE truncate\nTVE:SLEEP 150\n");
    std::atomic<bool> finished(false);
    std::vector<std::string> added;
    int refused = 0;
    boost::thread other([&] {
        for (int i = 0; !finished; ++i, ::Sleep(2)) {
            Win::FileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            const std::string marker = "{added " + std::to_string(i) + "}";
            DWORD written = 0;
            if (file && ::WriteFile(file.Get(), marker.data(), static_cast<DWORD>(marker.size()), &written, nullptr))
                added.push_back(marker);
            else
                ++refused;
        }
    });
    Run(Task({path}));
    finished = true;
    other.join();

    std::string everything = ReadFile(path);
    AvQuarantineManager::Snapshot snapshot;
    quarantine.GetSnapshot(snapshot);
    for (const auto& entry : snapshot)
        everything += ReadFile(quarantine.GetStore()->Restore(entry.first, (tree / L"copy.exe").c_str(),
                                                              Quarantine::CQuarantine::RestoreMode::FreeName));
    for (const std::string& marker : added) EXPECT_NE(std::string::npos, everything.find(marker)) << marker << " was lost";
    EXPECT_GT(refused, 0) << "the file is held from its copy to its cure";
    EXPECT_EQ(std::string::npos, ReadFile(path).find("TVE:DETECT"));
}

TEST_F(Scans, NamesOfDevicesAndWithTrailingDotsAreFilesLikeAnyOther) {
    auto write = [](const std::wstring& path, const std::string& content) {
        Win::FileHandle file(::CreateFileW(LiteralPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        ASSERT_TRUE(file && ::WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    };
    auto read = [](const std::wstring& path) {
        Win::FileHandle file(::CreateFileW(LiteralPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        char buffer[256];
        DWORD got = 0;
        return file && ::ReadFile(file.Get(), buffer, sizeof(buffer), &got, nullptr) ? std::string(buffer, got) : std::string("(unreadable)");
    };
    const std::string infected = "host\nTVE:DETECT 1 Odd.Name curable\nTVE:CURE truncate\n";
    File(L"t.exe", "clean");
    ASSERT_TRUE(::CreateDirectoryW(LiteralPath(tree / L"dir.").c_str(), nullptr));
    const std::wstring odd[] = {tree / L"nul.exe", tree / L"com1.exe", tree / L"t.exe.", tree / L"t.exe ", tree / L"dir.\\in.exe"};
    for (const std::wstring& path : odd) write(path, infected);

    boost::shared_ptr<AvScanTask> task = Run(Task({tree.Path()}));
    EXPECT_EQ(5, task->stats.found);
    EXPECT_EQ(5, task->stats.cured);
    EXPECT_EQ("clean", ReadFile(tree / L"t.exe")) << "never the file whose name lacks the dot";
    for (const std::wstring& path : odd) EXPECT_EQ("host\n", read(path)) << Narrow(path);

    // Each copy goes back to its own place.
    AvQuarantineManager::Snapshot snapshot;
    quarantine.GetSnapshot(snapshot);
    ASSERT_EQ(5u, snapshot.size());
    for (const auto& entry : snapshot) {
        Reason why;
        EXPECT_TRUE(quarantine.RestoreToOriginal(entry.first, &why)) << Narrow(entry.second.OriginalPath) << ": " << Narrow(ReasonText(why));
    }
    for (const std::wstring& path : odd) EXPECT_EQ(infected, read(path)) << Narrow(path);
}

TEST_F(Scans, CuresThatNeverEndAndCuresThatDeleteTheFile) {
    const std::wstring endless = File(L"endless.exe", "TVE:DETECT 1 Endless curable\nTVE:CURE touch\n");
    const std::wstring removed = File(L"removed.exe", "TVE:DETECT 1 Removed curable\nTVE:CURE delete\n");
    boost::shared_ptr<AvScanTask> task = Run(Task({endless, removed}));
    std::vector<ScanEvent> endlessRounds;
    for (const ScanEvent& e : events.Of("threat"))
        if (e.text == endless) endlessRounds.push_back(e);
    ASSERT_EQ(AvEngineScanFile::MaxCureRounds + 1u, endlessRounds.size());
    EXPECT_FALSE(endlessRounds.back().cured) << "still detected after the last cure: not cured";
    ASSERT_EQ(1u, events.Count("withheld"));
    EXPECT_EQ(unsigned(IDS_REASON_CURE_DID_NOT_TAKE), events.Of("withheld")[0].reason);
    EXPECT_FALSE(FileExists(removed));
    const std::vector<ScanEvent> threats = events.Of("threat");
    EXPECT_EQ(removed, threats.back().text);
    EXPECT_TRUE(threats.back().cured) << "a file the cure removed counts as changed";
    EXPECT_EQ(0, task->stats.notScanned) << "nor is the removed file a failure";
    EXPECT_EQ(2u + AvEngineScanFile::MaxCureRounds, static_cast<size_t>(task->stats.found));
}

TEST_F(Scans, NoCureWithoutARestorableCopy) {
    const std::string content = "TVE:DETECT 1 Cure.Me curable\n";
    // Too big for a container (sparse, with the directive at its start).
    const std::wstring big = tree / L"big.exe";
    MakeSizedFile(big, 52428801);
    {
        HANDLE file = ::CreateFileW(big.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        DWORD written = 0;
        ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    // A path longer than a container records.
    std::wstring deep = tree.Path();
    while (deep.size() < 2048) deep += L"\\" + std::wstring(200, L'd');
    const std::wstring longPath = File(deep.substr(tree.Path().size() + 1) + L"\\long.exe", content);
    ASSERT_GE(longPath.size(), 2048u);
    boost::shared_ptr<AvScanTask> first = Run(Task({big, longPath}));
    EXPECT_EQ(0, first->stats.cured);

    // A plain file where the quarantine folder belongs.
    RemoveQuarantineFolders();
    WriteFile(L"D:\\TER.QUAR", "in the way");
    const std::wstring blocked = File(L"blocked.exe", content);
    events.Clear();
    Run(Task({blocked}));
    ::DeleteFileW(L"D:\\TER.QUAR");

    EXPECT_EQ(content, ReadFile(blocked)) << "the file is as it was";
    EXPECT_EQ(52428801u, FileSize(big));
    EXPECT_EQ(content, ReadFile(longPath));
    EXPECT_EQ(0u, QuarantineEntries());
    const std::vector<ScanEvent> withheld = events.Of("withheld");
    ASSERT_EQ(1u, withheld.size());
    EXPECT_EQ(unsigned(IDS_REASON_NO_COPY), withheld[0].reason);
    EXPECT_NE(std::wstring::npos, withheld[0].name.find(L"D:\\TER.QUAR")) << Narrow(withheld[0].name);
    ASSERT_EQ(1u, events.Count("threat"));
    EXPECT_FALSE(events.Of("threat")[0].cured || events.Of("threat")[0].quarantined);
}

TEST_F(Scans, AFileTheEngineCouldNotScanIsNeverClean) {
    const std::wstring locked = File(L"locked.exe", "clean content");
    const std::wstring refused = File(L"refused.exe", "TVE:RESULT 7 archive-limit\n");
    File(L"fine.exe", "clean");
    // Held open without sharing: the engine cannot read it.
    HANDLE held = ::CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    boost::shared_ptr<AvScanTask> task = Run(Task({tree.Path()}));
    ::CloseHandle(held);
    EXPECT_EQ(3, task->stats.checked);
    EXPECT_EQ(2, task->stats.notScanned);
    EXPECT_EQ(0, task->stats.found);
    const std::vector<ScanEvent> failed = events.Of("notscanned");
    ASSERT_EQ(2u, failed.size());
    for (const ScanEvent& e : failed) {
        if (e.text == locked) EXPECT_EQ(unsigned(IDS_REASON_FILE_IN_USE), e.reason);
        else EXPECT_EQ(refused, e.text);
    }
    EXPECT_EQ(L"archive-limit", failed[0].text == refused ? failed[0].name : failed[1].name) << "the engine's own words";
}

TEST_F(Scans, InnerObjectsAreAnnouncedWithTrue) {
    const std::wstring archive = File(L"archive.zip", "TVE:OBJECT 0 a.txt\nTVE:OBJECT 1 b.exe Inner.Bad\n");
    Run(Task({archive}));
    const std::vector<ScanEvent> objects = events.Of("object");
    ASSERT_EQ(3u, objects.size());
    EXPECT_EQ(archive, objects[0].text);
    EXPECT_EQ(0, objects[0].value);
    EXPECT_EQ(archive + L">a.txt", objects[1].text);
    EXPECT_EQ(1, objects[1].value);
    EXPECT_EQ(archive + L">b.exe", objects[2].text);
    EXPECT_EQ(0u, events.Count("threat")) << "the file itself came back clean";
}

TEST_F(Scans, AFolderThatCannotBeListedIsReportedAndTheRestWalked) {
    for (int i = 0; i < 5; ++i) File(L"a" + std::to_wstring(i) + L".exe", "x");
    File(L"locked\\inside.exe", "x");
    for (int i = 0; i < 5; ++i) File(L"z\\z" + std::to_wstring(i) + L".exe", "x");
    // Held open without sharing: nobody else can list it.
    HANDLE folder = ::CreateFileW((tree / L"locked").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, folder);
    boost::shared_ptr<AvScanTask> task = Run(Task({tree.Path()}));
    ::CloseHandle(folder);
    std::set<std::wstring> scanned;
    for (const ScanEvent& e : events.Of("object")) scanned.insert(e.text);
    EXPECT_EQ(0u, scanned.count(tree / L"locked\\inside.exe"));
    EXPECT_EQ(10u, scanned.size());
    EXPECT_EQ(10, task->stats.total);
    EXPECT_EQ(1, task->stats.notScanned) << "never taken for an empty folder";
    ASSERT_EQ(1u, events.Count("notscanned"));
    EXPECT_EQ(tree / L"locked", events.Of("notscanned")[0].text);
}

TEST_F(Scans, TargetsThatAreFilesIgnoreTheFilterAndMissingTargetsDoNotStopTheScan) {
    const std::wstring notes = File(L"notes.txt", "TVE:DETECT 1 In.Text\n");
    File(L"folder\\other.txt", "TVE:DETECT 1 Filtered.Out\n");
    File(L"folder\\run.exe", "clean");
    boost::shared_ptr<AvScanTask> task =
        Run(Task({notes, tree / L"missing-folder\\", tree / L"folder"}, PotentiallyDangerousExtensions));
    EXPECT_EQ(3, task->stats.checked) << "the file, the missing path as a file, and run.exe";
    EXPECT_EQ(3, task->stats.total);
    ASSERT_EQ(1u, events.Count("threat"));
    EXPECT_EQ(notes, events.Of("threat")[0].text);
}

TEST_F(Scans, ATaskWithoutTargetsFinishesAfterTheHeadStart) {
    const DWORD start = ::GetTickCount();
    Run(Task({}));
    EXPECT_GE(::GetTickCount() - start, 900u);
    const std::vector<ScanEvent> all = events.All();
    ASSERT_EQ(3u, all.size());
    EXPECT_EQ("started", all[0].kind);
    EXPECT_EQ("progress", all[1].kind);
    EXPECT_EQ(100, all[1].value);
    EXPECT_EQ("finished", all[2].kind);
    EXPECT_EQ(1, all[2].value);
}

TEST_F(Scans, PauseThenContinueConfirmsOncePerWaitingThread) {
    for (int i = 0; i < 2000; ++i) File(L"d" + std::to_wstring(i % 40) + L"\\f" + std::to_wstring(i) + L".exe", "c");
    boost::shared_ptr<AvScanTask> task = Task({tree.Path()});
    ASSERT_TRUE(manager.StartScan(task));
    manager.pauseRequested = true;  // the counter meets it while it walks, the worker after its head start
    ASSERT_TRUE(events.WaitUntil([](const ScanEvents& e) { return e.Count("paused") == 2; }));
    ::Sleep(100);
    EXPECT_EQ(2u, events.Count("paused"));
    EXPECT_EQ(0, task->stats.checked);
    EXPECT_FALSE(task->stats.totalKnown) << "the counting thread waits too";
    manager.pauseRequested = false;
    ASSERT_TRUE(events.WaitForFinish());
    const std::vector<ScanEvent> paused = events.Of("paused"), resumed = events.Of("resumed");
    ASSERT_EQ(2u, resumed.size());
    EXPECT_NE(paused[0].thread, paused[1].thread);
    EXPECT_EQ((std::set<DWORD>{paused[0].thread, paused[1].thread}), (std::set<DWORD>{resumed[0].thread, resumed[1].thread}));
    EXPECT_EQ(2000, task->stats.checked);
    EXPECT_EQ(1, events.Of("finished")[0].value);
}

TEST_F(Scans, PauseThenAbortStopsTheEngineCallWithoutResuming) {
    const std::wstring endless = File(L"long.bin", "TVE:LOOP 1000000 1\n");
    for (int i = 0; i < 10; ++i) File(L"after" + std::to_wstring(i) + L".exe", "clean");
    boost::shared_ptr<AvScanTask> task = Task({endless, tree.Path()});
    ASSERT_TRUE(manager.StartScan(task));
    // Pause while the worker is inside the engine's callback loop.
    ASSERT_TRUE(events.WaitUntil([](const ScanEvents& e) { return e.Count("object") > 20; }));
    manager.pauseRequested = true;
    ASSERT_TRUE(events.WaitUntil([](const ScanEvents& e) { return e.Count("paused") >= 1; }));
    const size_t objectsWhilePaused = events.Count("object");
    ::Sleep(100);
    EXPECT_EQ(objectsWhilePaused, events.Count("object")) << "the engine call waits while paused";
    manager.Stop();
    EXPECT_TRUE(events.WaitForFinish(5000));
    EXPECT_EQ(0u, events.Count("resumed"));
    EXPECT_EQ(0, events.Of("finished")[0].value);
    EXPECT_GE(EngineStats(EngineFolder(L"test")).stopCalls, 1u) << "CoreStopScan reached the engine";
    EXPECT_LT(EngineStats(EngineFolder(L"test")).loopCallbacksMade, 1000000u);
    EXPECT_LE(task->stats.checked, 1) << "nothing after the aborted file";
    ExpectProgressWellFormed(events, false);
}

TEST_F(Scans, AbortDuringALargeScanNeverReachesOneHundred) {
    for (int i = 0; i < 400; ++i) File(L"d" + std::to_wstring(i % 20) + L"\\f" + std::to_wstring(i) + L".exe", "c");
    ASSERT_TRUE(manager.StartScan(Task({tree.Path()})));
    ASSERT_TRUE(events.WaitUntil([](const ScanEvents& e) { return e.Count("object") > 50; }));
    manager.Stop();
    EXPECT_EQ(1u, events.Count("finished"));
    EXPECT_EQ(0, events.Of("finished")[0].value);
    EXPECT_GE(events.Count("pump"), 1u);
    ExpectProgressWellFormed(events, false);
}

TEST(ScanStarts, StopWithoutAScanAndStartsThatCannotRun) {
    AvQuarantineManager quarantine(DiskD);
    AvEngineManager manager(quarantine);
    ScanEvents events(manager);
    manager.Stop();
    EXPECT_EQ(1u, events.Count("pump"));
    EXPECT_EQ(1u, events.All().size());

    boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Custom));
    EXPECT_FALSE(manager.StartScan(task)) << "no engine";
    manager.InitEngine(EngineFolder(L"test"));
    EXPECT_FALSE(manager.StartScan(boost::shared_ptr<AvScanTask>())) << "no task";
    ::Sleep(1200);
    EXPECT_EQ(0u, events.Count("started"));
    EXPECT_FALSE(task->scanner);

    AvEngineManager refusing(quarantine);
    refusing.InitEngine(EngineFolder(L"refuse-context"));
    EXPECT_FALSE(refusing.StartScan(task)) << "the engine refuses a scanning context";
}

TEST(ScanStarts, EngineLoadIsReportedOnce) {
    AvQuarantineManager quarantine(DiskD);
    std::vector<bool> loaded;
    AvEngineManager broken(quarantine);
    broken.engineLoaded.connect([&](bool ok) { loaded.push_back(ok); });
    broken.InitEngine(EngineFolder(L"missing-CoreStopScan"));
    broken.InitEngine(L"");
    AvEngineManager good(quarantine);
    good.engineLoaded.connect([&](bool ok) { loaded.push_back(ok); });
    good.InitEngine(EngineFolder(L"test"));
    EXPECT_EQ((std::vector<bool>{false, false, true}), loaded);
    EXPECT_FALSE(broken.HasEngine());
    EXPECT_EQ(0x01020304u, good.GetEngine()->GetCoreVersion());
}

TEST(ScanStarts, DestroyingTheManagerDuringAScanEndsIt) {
    AvQuarantineManager quarantine(DiskD);
    ScratchFolder tree;
    for (int i = 0; i < 200; ++i) WriteFile(tree / (L"f" + std::to_wstring(i) + L".exe"), "TVE:SLEEP 5\n");
    boost::shared_ptr<AvScanTask> task(new AvScanTask(AvScanTask::Custom));
    task->targets.push_back(tree.Path());
    {
        AvEngineManager manager(quarantine);
        manager.InitEngine(EngineFolder(L"test"));
        ASSERT_TRUE(manager.StartScan(task));
        ::Sleep(1300);
    }
    EXPECT_LT(task->stats.checked, 200);
    EXPECT_TRUE(task->stats.totalKnown);
}

// The link tree is made by tests/scan/make-links.sh before this suite runs.
class Walks : public Scans {
protected:
    Walks() {
        if (!FileExists(L"D:\\links\\loop\\a\\one.exe")) ADD_FAILURE() << "D:\\links is missing: run through ctest";
    }
    std::multiset<std::wstring> ScannedNames() {
        std::multiset<std::wstring> names;
        for (const ScanEvent& e : events.Of("object")) names.insert(e.text.substr(e.text.rfind(L'\\') + 1));
        return names;
    }
};

TEST_F(Walks, LinkLoopsEndAndEachFileIsScannedOnce) {
    boost::shared_ptr<AvScanTask> task = Run(Task({L"D:\\links\\loop"}));
    EXPECT_EQ((std::multiset<std::wstring>{L"one.exe", L"two.exe"}), ScannedNames());
    EXPECT_EQ(2, task->stats.total) << "the counting pass knows the same folders";
    EXPECT_EQ(3, task->stats.folders) << "loop, a and b, each once";
}

TEST_F(Walks, ALinkOutOfEveryDriveIsReportedNotFollowed) {
    boost::shared_ptr<AvScanTask> task = Run(Task({L"D:\\links\\out"}));
    EXPECT_EQ(std::multiset<std::wstring>{L"plain.exe"}, ScannedNames());
    EXPECT_EQ(1, task->stats.notScanned);
    ASSERT_EQ(1u, events.Count("notscanned"));
    EXPECT_EQ(L"D:\\links\\out\\away", events.Of("notscanned")[0].text);
    EXPECT_EQ(unsigned(IDS_REASON_OUTSIDE_DRIVES), events.Of("notscanned")[0].reason);
}

TEST_F(Walks, ALinkedFolderAsTargetIsWalked) {
    Run(Task({L"D:\\links\\target"}));
    EXPECT_EQ((std::multiset<std::wstring>{L"one.exe", L"two.exe"}), ScannedNames()) << "two, and one through the side link";
    std::set<std::wstring> paths;
    for (const ScanEvent& e : events.Of("object")) paths.insert(e.text);
    EXPECT_EQ(1u, paths.count(L"D:\\links\\target\\two.exe")) << "found under the name it was given";
}
