// The quarantine manager: starting, waiting for the first load, and its never-throwing operations.
#include "quarantine/QuarantineManager.h"
#include "tests/quarantine/ContainerBuilder.h"
#include "tests/quarantine/QuarantineTestSupport.h"
#include "tests/quarantine/StoreRecorder.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace Quarantine;
using namespace TestSupport;

namespace {

class Manager : public ::testing::Test {
protected:
    Manager() { RemoveQuarantineFolders(); }
    ~Manager() override { RemoveQuarantineFolders(); }

    static AvQuarantineManager::StoreFactory Disks(const std::wstring& disks) {
        return [disks] { return boost::shared_ptr<CQuarantine>(new CQuarantine(disks)); };
    }
};

AvCore::Threat ThreatFor(const std::wstring& path) {
    AvCore::Threat threat;
    threat.name = L"Manager.Test";
    threat.object = path;
    return threat;
}

}  // namespace

TEST_F(Manager, StartWaitsForTheFirstLoadAndRunsOnce) {
    ContainerBuilder::Object object;
    object.storedPath = L"?:\\a.exe";
    object.content = "a";
    for (int i = 0; i < 50; ++i)
        WriteFile(L"D:\\TER.QUAR\\00000000-0000-0000-0000-0000000000" + std::to_wstring(10 + i) + L".tqr",
                  ContainerBuilder(L"Old", i, 100).Add(object).Bytes());
    AvQuarantineManager manager(Disks(L"de"));
    std::vector<bool> ready;
    manager.ready.connect([&](bool ok) { ready.push_back(ok); });
    manager.Start();
    EXPECT_EQ(std::vector<bool>{true}, ready);
    EXPECT_TRUE(manager.IsLoaded());
    EXPECT_FALSE(manager.GetStore()->IsLoading());
    AvQuarantineManager::Snapshot snapshot;
    manager.GetSnapshot(snapshot);
    EXPECT_EQ(50u, snapshot.size()) << "every container was loaded before Start returned";
    manager.Start();
    EXPECT_EQ(std::vector<bool>{true}, ready) << "a second Start does nothing";
}

TEST_F(Manager, StartEndsWithoutDisksAndWhenTheLoadEndedBeforeTheConnection) {
    AvQuarantineManager none(Disks(L""));
    std::vector<bool> ready;
    none.ready.connect([&](bool ok) { ready.push_back(ok); });
    none.Start();
    AvQuarantineManager early([] {
        boost::shared_ptr<CQuarantine> store(new CQuarantine(L"de"));
        WaitForLoad(*store);  // every loader is done before the manager can connect
        return store;
    });
    early.ready.connect([&](bool ok) { ready.push_back(ok); });
    early.Start();
    EXPECT_EQ((std::vector<bool>{true, true}), ready);
    AvQuarantineManager::Snapshot snapshot;
    none.GetSnapshot(snapshot);
    EXPECT_TRUE(snapshot.empty());
}

TEST_F(Manager, AStoreThatCannotStartLeavesEverythingFalse) {
    AvQuarantineManager failing([]() -> boost::shared_ptr<CQuarantine> { throw std::runtime_error("no"); });
    std::vector<bool> ready;
    failing.ready.connect([&](bool ok) { ready.push_back(ok); });
    failing.Start();
    EXPECT_EQ(std::vector<bool>{false}, ready);
    EXPECT_FALSE(failing.GetStore());
    ScratchFolder files;
    WriteFile(files / L"a.exe", "a");
    EXPECT_FALSE(failing.QuarantineThreat(ThreatFor(files / L"a.exe")));
    EXPECT_FALSE(failing.RestoreToOriginal(1));
    AvQuarantineManager::Snapshot snapshot;
    failing.GetSnapshot(snapshot);
    EXPECT_TRUE(snapshot.empty());
}

TEST_F(Manager, QuarantineThreatReportsFailuresAsFalse) {
    AvQuarantineManager manager(Disks(L"d"));
    manager.Start();
    ScratchFolder files;
    MakeSizedFile(files / L"big.exe", 52428801);
    WriteFile(files / L"ok.exe", "ok");
    EXPECT_FALSE(manager.QuarantineThreat(ThreatFor(files / L"big.exe")));
    EXPECT_FALSE(manager.QuarantineThreat(ThreatFor(files / L"vanished.exe")));
    WIN32_FIND_DATAW data;
    HANDLE find = ::FindFirstFileW(L"D:\\TER.QUAR\\*", &data);
    int files_left = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++files_left;
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
    EXPECT_EQ(0, files_left) << "a failed copy leaves no container";
    EXPECT_TRUE(manager.QuarantineThreat(ThreatFor(files / L"ok.exe")));
    AvQuarantineManager::Snapshot snapshot;
    manager.GetSnapshot(snapshot);
    ASSERT_EQ(1u, snapshot.size());
    EXPECT_EQ(100, snapshot.front().second.OriginCode);
}

TEST_F(Manager, SnapshotsAreSortedByTimeWithTiesInIdentifierOrder) {
    ContainerBuilder::Object object;
    object.storedPath = L"?:\\a.exe";
    object.content = "a";
    const int64_t times[] = {300, 100, 200, 100, 300};
    for (int i = 0; i < 5; ++i)
        WriteFile(L"D:\\TER.QUAR\\00000000-0000-0000-0000-00000000000" + std::to_wstring(i) + L".tqr",
                  ContainerBuilder(L"T" + std::to_wstring(times[i]), times[i], 100).Add(object).Bytes());
    AvQuarantineManager manager(Disks(L"d"));
    manager.Start();
    AvQuarantineManager::Snapshot snapshot;
    manager.GetSnapshot(snapshot);
    ASSERT_EQ(5u, snapshot.size());
    std::pair<int64_t, int> previous(0, 0);
    for (const auto& element : snapshot) {
        const std::pair<int64_t, int> key(element.second.Time, element.first);
        EXPECT_LT(previous, key);
        previous = key;
    }
    EXPECT_EQ(100, snapshot.front().second.Time);
    EXPECT_EQ(300, snapshot.back().second.Time);
}

TEST_F(Manager, RestoreToOriginalReplacesTheFileAndKeepsTheEntry) {
    AvQuarantineManager manager(Disks(L"d"));
    manager.Start();
    ScratchFolder files;
    const std::wstring path = files / L"victim.exe";
    WriteFile(path, "infected original");
    ASSERT_TRUE(manager.QuarantineThreat(ThreatFor(path)));
    WriteFile(path, "cured");
    AvQuarantineManager::Snapshot snapshot;
    manager.GetSnapshot(snapshot);
    const int id = snapshot.front().first;
    EXPECT_FALSE(manager.RestoreToOriginal(id + 100));
    EXPECT_TRUE(manager.RestoreToOriginal(id));
    EXPECT_EQ("infected original", ReadFile(path));
    Entry entry;
    EXPECT_TRUE(manager.GetStore()->GetEntry(id, entry));
    ::DeleteFileW(entry.ContainerPath.c_str());
    EXPECT_FALSE(manager.RestoreToOriginal(id)) << "a container that is gone gives false, not an exception";
}

TEST(ProcessQuarantineManager, IsOneObject) {
    EXPECT_EQ(&AvQuarantineManager::Get(), &AvQuarantineManager::Get());
    EXPECT_FALSE(AvQuarantineManager::Get().GetStore()) << "nothing starts it but the main window";
}
