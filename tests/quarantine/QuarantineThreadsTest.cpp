// The store under concurrent loaders, adds and deletes.
#include "quarantine/Quarantine.h"
#include "tests/quarantine/ContainerBuilder.h"
#include "tests/quarantine/QuarantineTestSupport.h"
#include "tests/quarantine/StoreRecorder.h"

#include <gtest/gtest.h>

#include <boost/thread/thread.hpp>

#include <atomic>
#include <set>

using namespace Quarantine;
using namespace TestSupport;

TEST(StoreThreads, LoadersAddsAndDeletesAtOnceKeepIdentifiersUniqueAndEntriesListed) {
    RemoveQuarantineFolders();
    const int preloaded = 60, perThread = 60;
    ContainerBuilder::Object object;
    object.storedPath = L"?:\\old.exe";
    object.content = PatternContent(2000, 9);
    for (int i = 0; i < preloaded; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"%c:\\TER.QUAR\\00000000-0000-0000-0000-%012d.tqr", i % 2 ? L'D' : L'E', i);
        WriteFile(name, ContainerBuilder(L"Old", i, 100).Add(object).Bytes());
    }
    ScratchFolder files;
    for (int i = 0; i < 2 * perThread; ++i)
        WriteFile(files / (std::to_wstring(i) + L".exe"), PatternContent(1000 + i * 37, i));

    std::set<int> added[2];
    std::atomic<int> lookups(0);
    std::set<int> deleted;
    {
        CQuarantine store(L"de");
        StoreRecorder recorder(store);
        // A slot that reads the store while a signal is emitted: it would hang if the lock were held.
        boost::signals2::scoped_connection lookup = store.entryAdded.connect([&](int id, const Entry&) {
            Entry entry;
            store.GetEntry(id, entry);
            ++lookups;
        });
        auto adder = [&](int which) {
            for (int i = 0; i < perThread; ++i) {
                AvCore::Threat threat;
                threat.name = L"New";
                threat.object = files / (std::to_wstring(which * perThread + i) + L".exe");
                added[which].insert(store.Add(threat, 100));
            }
        };
        boost::thread first(adder, 0), second(adder, 1);
        boost::thread deleter([&] {
            // Deletes every third entry it sees announced, while everything else goes on.
            for (int round = 0; round < 200; ++round) {
                for (int id : recorder.Added())
                    if (id % 3 == 0 && deleted.insert(id).second) store.Delete(id);
                ::Sleep(1);
            }
        });
        first.join();
        second.join();
        deleter.join();
        ASSERT_TRUE(WaitForLoad(store));

        // The recorder was connected after the loaders had started, so it may miss early entries.
        const std::vector<int> announced = recorder.Added();
        const std::set<int> unique(announced.begin(), announced.end());
        EXPECT_EQ(announced.size(), unique.size()) << "an identifier was announced twice";
        EXPECT_EQ(static_cast<size_t>(perThread), added[0].size());
        EXPECT_EQ(static_cast<size_t>(perThread), added[1].size());
        EXPECT_GE(lookups.load(), 2 * perThread);

        // Every registration took the next identifier: what is listed and what was deleted are 1..N.
        EntryTable entries;
        store.GetEntries(entries);
        std::set<int> all(deleted);
        for (const auto& entry : entries) EXPECT_TRUE(all.insert(entry.first).second) << entry.first;
        EXPECT_EQ(static_cast<size_t>(preloaded + 2 * perThread), all.size());
        EXPECT_EQ(1, *all.begin());
        EXPECT_EQ(preloaded + 2 * perThread, *all.rbegin());
        for (int which = 0; which < 2; ++which)
            for (int id : added[which]) EXPECT_EQ(deleted.count(id) ? 0u : 1u, entries.count(id)) << id;
        for (const auto& entry : entries) EXPECT_TRUE(FileExists(entry.second.ContainerPath));
    }
    CQuarantine again(L"de");
    ASSERT_TRUE(WaitForLoad(again));
    EntryTable entries;
    again.GetEntries(entries);
    EXPECT_EQ(static_cast<size_t>(preloaded + 2 * perThread) - deleted.size(), entries.size());
    RemoveQuarantineFolders();
}

TEST(StoreThreads, DestroyingTheStoreStopsItsLoaders) {
    RemoveQuarantineFolders();
    ContainerBuilder::Object object;
    object.storedPath = L"?:\\x.exe";
    object.content = "x";
    for (int i = 0; i < 300; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"D:\\TER.QUAR\\00000000-0000-0000-0000-%012d.tqr", i);
        WriteFile(name, ContainerBuilder(L"Many", i, 100).Add(object).Bytes());
    }
    for (int round = 0; round < 5; ++round) {
        CQuarantine store(L"de");  // destroyed at once, while its loaders run
    }
    RemoveQuarantineFolders();
}
