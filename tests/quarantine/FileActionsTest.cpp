// The file actions on quarantine entries, with the folder choice made through the dialog seam.
#include "quarantine/FileActions.h"
#include "quarantine/QuarantineManager.h"
#include "tests/quarantine/QuarantineTestSupport.h"

#include <gtest/gtest.h>

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
        CFileRestoreToFolderAction::SetFileDialog(CFileRestoreToFolderAction::FileDialog());
        RemoveQuarantineFolders();
    }
    int Quarantined(const std::wstring& path, const std::string& content) {
        WriteFile(path, content);
        AvCore::Threat threat;
        threat.name = L"Action.Test";
        threat.object = path;
        EXPECT_TRUE(manager.QuarantineThreat(threat));
        AvQuarantineManager::Snapshot snapshot;
        manager.GetSnapshot(snapshot);
        for (const auto& entry : snapshot)
            if (entry.second.OriginalPath == path) return entry.first;
        return 0;
    }
    bool InQuarantine(int id) {
        Quarantine::Entry entry;
        return manager.GetStore()->GetEntry(id, entry);
    }
    static void ChoosePath(const std::wstring& path, int* asked = nullptr) {
        CFileRestoreToFolderAction::SetFileDialog([path, asked](HWND, const std::wstring& initial, std::wstring& chosen) {
            EXPECT_EQ(L"...", initial);
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

TEST(FolderRules, TheChosenPathAndTheEntrysName) {
    EXPECT_EQ(L"D:\\target", FolderOfChosenPath(L"D:\\target\\..."));
    EXPECT_EQ(L"D:", FolderOfChosenPath(L"D:\\..."));
    EXPECT_EQ(L"", FolderOfChosenPath(L"..."));
    EXPECT_EQ(L"\\app.exe", FileNameForFolder(L"C:\\dir\\app.exe"));
    EXPECT_EQ(L"\\app.exe", FileNameForFolder(L"C:app.exe")) << "no backslash: the name after the drive";
    EXPECT_EQ(L"\\app.exe", FileNameForFolder(L"app.exe"));
    EXPECT_EQ(L"", FileNameForFolder(L"C:\\dir\\")) << "no name: nothing to write";
    EXPECT_EQ(L"", FileNameForFolder(L"C:"));
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
    EXPECT_EQ(L"Quarantine error: Validation error", action.LastError());
}

TEST_F(FileActions, RestoreToAFolderUsesTheChosenFolderOnce) {
    int asked = 0;
    ChoosePath(L"E:\\target\\...", &asked);
    const int first = Quarantined(files / L"dir\\app.exe", "app"), second = Quarantined(files / L"b.dll", "b");
    WriteFile(L"E:\\target\\b.dll", "someone else's");
    {
        CFileRestoreToFolderAction action(nullptr, manager);
        EXPECT_EQ(L"E:\\target", action.Folder());
        EXPECT_TRUE(action.Execute(first));
        EXPECT_TRUE(action.Execute(second));
        EXPECT_FALSE(action.Execute(first)) << "already gone";
    }
    EXPECT_EQ(1, asked) << "the user is asked once per command";
    EXPECT_EQ("app", ReadFile(L"E:\\target\\app.exe"));
    EXPECT_EQ("b", ReadFile(L"E:\\target\\b.dll")) << "a file of that name is replaced";
    EXPECT_FALSE(InQuarantine(first) || InQuarantine(second));
    RemoveTree(L"E:\\target");
}

TEST_F(FileActions, ACancelledFolderChoiceTouchesNothing) {
    ChoosePath(L"");
    const int id = Quarantined(files / L"c.exe", "c");
    CFileRestoreToFolderAction action(nullptr, manager);
    EXPECT_TRUE(action.Folder().empty());
    EXPECT_FALSE(action.Execute(id));
    EXPECT_TRUE(action.LastError().empty()) << "nothing to report to a user who cancelled";
    EXPECT_TRUE(InQuarantine(id));
    ChoosePath(L"nobackslash");
    CFileRestoreToFolderAction noFolder(nullptr, manager);
    EXPECT_FALSE(noFolder.Execute(id));
}
