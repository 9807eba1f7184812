// The file actions on quarantine entries, with the folder choice made through the dialog seam.
#include "quarantine/FileActions.h"
#include "quarantine/FolderSecurity.h"
#include "quarantine/QuarantineManager.h"
#include "quarantine/SafePaths.h"
#include "resources/resource.h"
#include "tests/quarantine/QuarantineTestSupport.h"

#include <gtest/gtest.h>

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

using namespace TestSupport;

namespace {

class FileActions : public ::testing::Test {
protected:
    FileActions()
        : manager([] { return boost::shared_ptr<Quarantine::CQuarantine>(new Quarantine::CQuarantine(L"de")); }) {
        RemoveQuarantineFolders();
        manager.Start();
    }
    ~FileActions() override {
        CFileRestoreToFolderAction::SetFolderDialog(CFileRestoreToFolderAction::FolderDialog());
        RemoveQuarantineFolders();
    }
    // Writes the content (unless empty: the file is there already) and quarantines the file.
    int Quarantined(const std::wstring& path, const std::string& content) {
        if (!content.empty()) WriteFile(path, content);
        AvCore::Threat threat;
        threat.name = L"Action.Test";
        threat.object = path;
        EXPECT_TRUE(manager.QuarantineThreat(threat));
        AvQuarantineManager::Snapshot snapshot;
        manager.GetSnapshot(snapshot);
        int newest = 0;
        for (const auto& entry : snapshot)
            if (entry.second.OriginalPath == path) newest = std::max(newest, entry.first);
        return newest;
    }
    bool InQuarantine(int id) {
        Quarantine::Entry entry;
        return manager.GetStore()->GetEntry(id, entry);
    }
    static void ChooseFolder(const std::wstring& path, int* asked = nullptr) {
        CFileRestoreToFolderAction::SetFolderDialog([path, asked](HWND, std::wstring& chosen) {
            if (asked) ++*asked;
            if (path.empty()) return false;
            chosen = path;
            return true;
        });
    }

    AvQuarantineManager manager;
    ScratchFolder files;
};

}  // namespace

TEST(FolderRules, TheEntrysName) {
    using Quarantine::FileNameFromStoredPath;
    EXPECT_EQ(L"app.exe", FileNameFromStoredPath(L"C:\\dir\\app.exe"));
    EXPECT_EQ(L"app.exe", FileNameFromStoredPath(L"C:app.exe")) << "no backslash: the name after the drive";
    EXPECT_EQ(L"app.exe", FileNameFromStoredPath(L"app.exe"));
    EXPECT_EQ(L"escaped.exe", FileNameFromStoredPath(L"D:\\x\\a/../../../escaped.exe")) << "'/' separates too";
    // Written through literal paths, device names and trailing dots are names like any other.
    for (const wchar_t* name : {L"CON", L"nul.txt", L"com1.exe", L"trail.", L"space "})
        EXPECT_EQ(name, FileNameFromStoredPath(std::wstring(L"D:\\x\\") + name));
    // Names a container may carry that must never be written.
    for (const wchar_t* stored : {L"C:\\dir\\", L"C:", L"C:\\dir\\..", L"C:\\dir\\.", L"D:\\x\\a:b.exe",
                                  L"D:\\x\\a\"b", L"D:\\x\\a|b", L"D:\\x\\tab\tname"}) {
        Reason why;
        EXPECT_EQ(L"", FileNameFromStoredPath(stored, &why)) << stored;
        EXPECT_EQ(unsigned(IDS_REASON_BAD_NAME), why.id) << stored;
    }
    EXPECT_TRUE(Quarantine::IsSafeOriginalPath(L"D:\\test\\a.exe"));
    EXPECT_TRUE(Quarantine::IsSafeOriginalPath(L"\\\\server\\share\\dir\\a.exe"));
    EXPECT_TRUE(Quarantine::IsSafeOriginalPath(L"D:\\nul\\dir \\AUX"));
    for (const wchar_t* stored : {L"a.exe", L"D:a.exe", L"D:\\x\\a/../../escaped.exe", L"D:\\x\\..\\..\\e.exe",
                                  L"\\\\?\\D:\\a.exe", L"\\\\.\\pipe\\x", L"\\\\server\\share", L"D:\\x\\a:b"})
        EXPECT_FALSE(Quarantine::IsSafeOriginalPath(stored)) << stored;
    EXPECT_EQ(L"setup (2).exe", Quarantine::NumberedName(L"setup.exe", 2));
    EXPECT_EQ(L"README (3)", Quarantine::NumberedName(L"README", 3));
}

TEST_F(FileActions, DeleteRemovesTheContainerAndIsAlwaysTrue) {
    const int id = Quarantined(files / L"a.exe", "a");
    Quarantine::Entry entry;
    ASSERT_TRUE(manager.GetStore()->GetEntry(id, entry));
    CFileDeleteAction action(manager);
    EXPECT_TRUE(action.Execute(id));
    EXPECT_FALSE(FileExists(entry.ContainerPath));
    EXPECT_TRUE(action.Execute(id)) << "again on the same identifier";
}

TEST_F(FileActions, RestoreReplacesTheFileThenLeavesTheQuarantine) {
    const std::wstring path = files / L"gone\\deeper\\app.exe";
    const int id = Quarantined(path, "original bytes");
    WriteFile(path, "cured bytes");
    CFileRestoreAction action(manager);
    EXPECT_TRUE(action.Execute(id));
    EXPECT_EQ("original bytes", ReadFile(path));
    EXPECT_FALSE(InQuarantine(id));
    // The file that was replaced is kept too, so a restore never loses anything either.
    AvQuarantineManager::Snapshot snapshot;
    manager.GetSnapshot(snapshot);
    ASSERT_EQ(1u, snapshot.size());
    EXPECT_EQ(path, snapshot.front().second.OriginalPath);
    const std::wstring kept = files / L"kept.exe";
    manager.GetStore()->Restore(snapshot.front().first, kept.c_str(), false);
    EXPECT_EQ("cured bytes", ReadFile(kept));
    manager.GetStore()->Delete(snapshot.front().first);
    EXPECT_TRUE(action.Execute(Quarantined(files / L"same.exe", "same")));
    manager.GetSnapshot(snapshot = {});
    EXPECT_TRUE(snapshot.empty()) << "a file identical to the copy needs no copy of its own";

    const int second = Quarantined(files / L"gone\\deeper\\other.exe", "other");
    RemoveTree(files / L"gone");
    EXPECT_TRUE(action.Execute(second)) << "the missing folders come back";
    EXPECT_EQ("other", ReadFile(files / L"gone\\deeper\\other.exe"));
}

TEST_F(FileActions, AFailedRestoreKeepsTheEntryAndSaysWhy) {
    const int id = Quarantined(files / L"x.exe", "x");
    Quarantine::Entry entry;
    ASSERT_TRUE(manager.GetStore()->GetEntry(id, entry));
    WriteFile(entry.ContainerPath, "not a container at all");
    CFileRestoreAction action(manager);
    EXPECT_FALSE(action.Execute(id));
    EXPECT_TRUE(InQuarantine(id));
    EXPECT_EQ(L"the quarantine copy is damaged and cannot be read", action.LastError());
}

TEST_F(FileActions, RestoreToAFolderUsesTheChosenFolderOnceAndNeverReplacesAFile) {
    int asked = 0;
    ChooseFolder(L"E:\\target\\", &asked);
    const int first = Quarantined(files / L"dir\\app.exe", "app"), second = Quarantined(files / L"b.dll", "b");
    const int setupA = Quarantined(files / L"one\\setup.exe", "setup one");
    const int setupB = Quarantined(files / L"two\\setup.exe", "setup two");
    WriteFile(L"E:\\target\\b.dll", "someone else's");
    {
        CFileRestoreToFolderAction action(nullptr, manager);
        EXPECT_EQ(L"E:\\target", action.Folder());
        for (int id : {first, second, setupA, setupB}) EXPECT_TRUE(action.Execute(id));
        EXPECT_FALSE(action.Execute(first)) << "already gone";
    }
    EXPECT_EQ(1, asked) << "the user is asked once per command";
    EXPECT_EQ("app", ReadFile(L"E:\\target\\app.exe"));
    EXPECT_EQ("someone else's", ReadFile(L"E:\\target\\b.dll")) << "a file of that name stays";
    EXPECT_EQ("b", ReadFile(L"E:\\target\\b (2).dll"));
    EXPECT_EQ("setup one", ReadFile(L"E:\\target\\setup.exe"));
    EXPECT_EQ("setup two", ReadFile(L"E:\\target\\setup (2).exe"));
    EXPECT_FALSE(InQuarantine(first) || InQuarantine(second));
    RemoveTree(L"E:\\target");
}

TEST_F(FileActions, OfSeveralCopiesOfOneFileTheOldestIsRestored) {
    // One copy before each of two cure rounds: the second is half cured.
    const std::wstring path = files / L"app.exe";
    WriteFile(path, "infected");
    SetTimes(path, 131000000000000000ull, 131000000000000000ull, 131000000000000000ull);
    const int before = Quarantined(path, "");
    WriteFile(path, "half cured");
    SetTimes(path, 131000000010000000ull, 131000000010000000ull, 131000000010000000ull);
    const int half = Quarantined(path, "");
    WriteFile(path, "cured");
    CFileRestoreAction action(manager);
    action.Prepare({half, before});
    EXPECT_FALSE(action.Execute(half));
    EXPECT_EQ(L"an older copy of the same file was restored instead; this one stays in the quarantine",
              action.LastError());
    EXPECT_TRUE(action.Execute(before));
    EXPECT_EQ("infected", ReadFile(path)) << "the file as it was before any cure";
    EXPECT_TRUE(InQuarantine(half));
}

TEST_F(FileActions, StoredPathsThatLeadElsewhereAreRefused) {
    const int id = Quarantined(files / L"victim.exe", "payload");
    Quarantine::Entry entry;
    ASSERT_TRUE(manager.GetStore()->GetEntry(id, entry));
    // A container whose stored path climbs out of any folder: D:\x\a/../../../escaped.exe.
    std::string bytes = ReadFile(entry.ContainerPath);
    const std::wstring hostile = L"?:\\x\\a/../../../escaped.exe";
    for (size_t i = 0; i < 2048; ++i) {
        const wchar_t unit = i < hostile.size() ? hostile[i] : 0;
        bytes[148 + 20 + 2 * i] = static_cast<char>(unit & 0xFF);
        bytes[148 + 20 + 2 * i + 1] = static_cast<char>(unit >> 8);
    }
    const std::wstring container = L"D:\\TER.QUAR\\00000000-0000-0000-0000-000000000001.tqr";
    WriteFile(container, bytes);
    AvQuarantineManager reloaded([] { return boost::shared_ptr<Quarantine::CQuarantine>(new Quarantine::CQuarantine(L"d")); });
    reloaded.Start();
    AvQuarantineManager::Snapshot snapshot;
    reloaded.GetSnapshot(snapshot);
    int hostileId = 0;
    for (const auto& e : snapshot)
        if (e.second.ContainerPath == container) hostileId = e.first;
    ASSERT_NE(0, hostileId);

    ChooseFolder(L"E:\\chosen");
    CFileRestoreToFolderAction toFolder(nullptr, reloaded);
    EXPECT_TRUE(toFolder.Execute(hostileId));
    EXPECT_EQ("payload", ReadFile(L"E:\\chosen\\escaped.exe")) << "only the last name, inside the chosen folder";
    EXPECT_FALSE(FileExists(L"D:\\escaped.exe") || FileExists(L"E:\\escaped.exe"));
    RemoveTree(L"E:\\chosen");

    WriteFile(container, bytes);
    AvQuarantineManager again([] { return boost::shared_ptr<Quarantine::CQuarantine>(new Quarantine::CQuarantine(L"d")); });
    again.Start();
    again.GetSnapshot(snapshot = {});
    for (const auto& e : snapshot)
        if (e.second.ContainerPath == container) hostileId = e.first;
    CFileRestoreAction toOriginal(again);
    EXPECT_FALSE(toOriginal.Execute(hostileId));
    EXPECT_NE(std::wstring::npos, toOriginal.LastError().find(L"is not a full path")) << Narrow(toOriginal.LastError());
    EXPECT_FALSE(FileExists(L"D:\\escaped.exe"));
}

TEST_F(FileActions, ACancelledFolderChoiceTouchesNothing) {
    ChooseFolder(L"");
    const int id = Quarantined(files / L"c.exe", "c");
    CFileRestoreToFolderAction action(nullptr, manager);
    EXPECT_TRUE(action.Folder().empty());
    EXPECT_FALSE(action.Execute(id));
    EXPECT_TRUE(action.LastError().empty()) << "nothing to report to a user who cancelled";
    EXPECT_TRUE(InQuarantine(id));
}

TEST_F(FileActions, AnEntryFromANetworkShareGoesBackThereWhenTheUserConfirms) {
    // \\tervan-server\share is drive E:'s folder in the test sandbox.
    const std::wstring share = L"\\\\tervan-server\\share\\net-restore\\a.exe";
    WriteFile(L"E:\\net-restore\\a.exe", "from the share");
    AvCore::Threat threat;
    threat.name = L"Net.Test";
    threat.object = share;
    ASSERT_TRUE(manager.QuarantineThreat(threat)) << "the share is readable through its path";
    AvQuarantineManager::Snapshot snapshot;
    manager.GetSnapshot(snapshot);
    ASSERT_EQ(1u, snapshot.size());
    EXPECT_EQ(share, snapshot.front().second.OriginalPath);
    RemoveTree(L"E:\\net-restore");
    // Not the drive that keeps the copy: a crafted container could name any share, so the user decides.
    std::wstring asked;
    bool answer = false;
    CFileRestoreAction::SetConfirmation([&](const std::wstring& question) {
        asked = question;
        return answer;
    });
    CFileRestoreAction action(manager);
    EXPECT_FALSE(action.Execute(snapshot.front().first));
    EXPECT_NE(std::wstring::npos, asked.find(share));
    EXPECT_FALSE(FileExists(L"E:\\net-restore\\a.exe"));
    answer = true;
    EXPECT_TRUE(action.Execute(snapshot.front().first)) << Narrow(action.LastError());
    CFileRestoreAction::SetConfirmation(CFileRestoreAction::Confirmation());
    EXPECT_EQ("from the share", ReadFile(L"E:\\net-restore\\a.exe"));
    RemoveTree(L"E:\\net-restore");
    // Nor without asking into Windows' folder, though on the copy's drive.
    Quarantine::Entry entry;
    entry.OriginalPath = L"C:\\windows\\system32\\planted.dll";
    EXPECT_FALSE(Quarantine::IsUsualPlace(entry.OriginalPath, L"C:\\TER.QUAR\\x.tqr"));
    EXPECT_TRUE(Quarantine::IsUsualPlace(L"C:\\users\\a.exe", L"C:\\TER.QUAR\\x.tqr"));
}

TEST_F(FileActions, AContainerAnotherUserOwnsIsForeignAndGoesBackOnlyWhenTheUserConfirms) {
    auto sid = [](const wchar_t* text) {
        PSID value = nullptr;
        ::ConvertStringSidToSidW(text, &value);
        return value;
    };
    PSID user = sid(L"S-1-5-21-1-2-3-1000"), other = sid(L"S-1-5-21-1-2-3-1001"), admins = sid(L"S-1-5-32-544"), system = sid(L"S-1-5-18");
    EXPECT_TRUE(Quarantine::IsTrustedOwner(user, user));
    EXPECT_TRUE(Quarantine::IsTrustedOwner(admins, user));
    EXPECT_TRUE(Quarantine::IsTrustedOwner(system, user));
    EXPECT_FALSE(Quarantine::IsTrustedOwner(other, user));
    EXPECT_FALSE(Quarantine::IsTrustedOwner(nullptr, user));

    const std::wstring victim = files / L"owned.exe";
    const int id = Quarantined(victim, "owned");
    Quarantine::Entry entry;
    ASSERT_TRUE(manager.GetStore()->GetEntry(id, entry));
    EXPECT_TRUE(Quarantine::IsOwnFile(entry.ContainerPath)) << "this program's own containers";
    // Another user's container. Wine does not keep an owner set on a file (it reads back the user
    // running it): there only the rule above is checked, and the test says so.
    const DWORD set = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(entry.ContainerPath.c_str()), SE_FILE_OBJECT,
                                              OWNER_SECURITY_INFORMATION, other, nullptr, nullptr, nullptr);
    if (set != ERROR_SUCCESS || Quarantine::IsOwnFile(entry.ContainerPath)) {
        std::printf("an owner set on a file (%lu) is not kept here: the rule alone is checked\n", static_cast<unsigned long>(set));
    } else {
        AvQuarantineManager reloaded([] { return boost::shared_ptr<Quarantine::CQuarantine>(new Quarantine::CQuarantine(L"de")); });
        reloaded.Start();
        AvQuarantineManager::Snapshot snapshot;
        reloaded.GetSnapshot(snapshot);
        ASSERT_EQ(1u, snapshot.size());
        EXPECT_TRUE(snapshot.front().second.Foreign);
        ASSERT_TRUE(::DeleteFileW(victim.c_str()));
        std::wstring asked;
        bool answer = false;
        CFileRestoreAction::SetConfirmation([&](const std::wstring& question) {
            asked = question;
            return answer;
        });
        CFileRestoreAction action(reloaded);
        EXPECT_FALSE(action.Execute(snapshot.front().first));
        EXPECT_NE(std::wstring::npos, asked.find(L"another user")) << Narrow(asked);
        EXPECT_FALSE(FileExists(victim));
        answer = true;
        EXPECT_TRUE(action.Execute(snapshot.front().first)) << Narrow(action.LastError());
        CFileRestoreAction::SetConfirmation(CFileRestoreAction::Confirmation());
        EXPECT_EQ("owned", ReadFile(victim));
    }
    for (PSID value : {user, other, admins, system}) ::LocalFree(value);
}
