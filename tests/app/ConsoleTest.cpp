// tervscan.exe: its command line, scans and quarantine commands, run as a user would.
#include "app/console/ConsoleOptions.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace TestSupport;

namespace {

std::vector<std::string> ResultLines(const std::string& output) {
    std::vector<std::string> lines;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 8, "[DEBUG] ") != 0 && line.compare(0, 7, "[WARN] ") != 0) lines.push_back(line);
    return lines;
}

bool HasLine(const std::string& output, const std::string& wanted) {
    for (const std::string& line : ResultLines(output))
        if (line == wanted) return true;
    return false;
}

ChildResult Tervscan(const std::wstring& arguments) {
    return RunProgram(L"tervscan.exe", L"--engine \"" + EngineFolder(L"test") + L"\" " + arguments);
}

ChildResult Quarantine(const std::wstring& arguments) { return RunProgram(L"tervscan.exe", L"--quarantine " + arguments); }

}  // namespace

TEST(ConsoleOptions, ArgumentsAreUnderstoodOrRefused) {
    ConsoleOptions o = ParseCommandLine({L"--no-cure", L"--all-files", L"a", L"--", L"--odd"});
    EXPECT_TRUE(o.error.empty());
    EXPECT_FALSE(o.cure);
    EXPECT_TRUE(o.allFiles);
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"--odd"}), o.paths);
    o = ParseCommandLine({L"--quarantine", L"restore", L"12", L"--to", L"D:\\x"});
    EXPECT_EQ(ConsoleOptions::QuarantineRestore, o.mode);
    EXPECT_EQ(12, o.identifier);
    EXPECT_EQ(L"D:\\x", o.restoreFolder);
    EXPECT_EQ(ConsoleOptions::Help, ParseCommandLine({L"x", L"--help"}).mode);
    for (const std::vector<std::wstring>& bad :
         std::vector<std::vector<std::wstring>>{{},
                                                {L"--frobnicate", L"a"},
                                                {L"--quarantine"},
                                                {L"--quarantine", L"restore"},
                                                {L"--quarantine", L"delete", L"-3"},
                                                {L"--quarantine", L"delete", L"x1"},
                                                {L"--quarantine", L"list", L"a"},
                                                {L"--quarantine", L"delete", L"1", L"--to", L"D:\\"},
                                                {L"a", L"--to", L"D:\\"},
                                                {L"--engine"}})
        EXPECT_FALSE(ParseCommandLine(bad).error.empty()) << bad.size();
}

TEST(ConsoleRuns, HelpErrorsAndExitCodes) {
    ChildResult help = RunProgram(L"tervscan.exe", L"--help");
    EXPECT_EQ(0u, help.exitCode);
    EXPECT_EQ(0u, help.output.find("Usage:"));
    ChildResult bad = RunProgram(L"tervscan.exe", L"--frobnicate");
    EXPECT_EQ(2u, bad.exitCode);
    EXPECT_EQ(0u, bad.errors.find("tervscan: unknown option --frobnicate"));
    ChildResult missing = Tervscan(L"D:\\no-such-folder");
    EXPECT_EQ(2u, missing.exitCode);
    EXPECT_NE(std::string::npos, missing.errors.find("no such file or folder: D:\\no-such-folder"));
    ScratchFolder tree;
    ChildResult noEngine = RunProgram(L"tervscan.exe", L"--engine D:\\nowhere \"" + tree.Path() + L"\"");
    EXPECT_EQ(2u, noEngine.exitCode);
    EXPECT_NE(std::string::npos, noEngine.errors.find("Error loading antivirus engine!"));
    ChildResult brokenEngine =
        RunProgram(L"tervscan.exe", L"--engine \"" + EngineFolder(L"missing-CoreFScan") + L"\" \"" + tree.Path() + L"\"");
    EXPECT_EQ(2u, brokenEngine.exitCode);
}

TEST(ConsoleRuns, ScansReportEachDetectionAndTheCounters) {
    RemoveQuarantineFolders();
    ScratchFolder tree;
    WriteFile(tree / L"clean.exe", "clean");
    ChildResult clean = Tervscan(L"\"" + tree.Path() + L"\"");
    EXPECT_EQ(0u, clean.exitCode) << clean.errors;
    EXPECT_TRUE(HasLine(clean.output, "Checked files: 1"));
    EXPECT_TRUE(HasLine(clean.output, "Threats found: 0"));

    WriteFile(tree / L"cure.exe", "TVE:DETECT 1 Cure.Me curable\n");
    WriteFile(tree / L"plain.dll", "TVE:DETECT 2 Plain.Bad\n");
    WriteFile(tree / L"notes.txt", "TVE:DETECT 1 In.Text\n");
    WriteFile(tree / L"\x0444\x0430\x0439\x043B.exe", "TVE:DETECT 1 Cyrillic.Name\n");
    ChildResult noCure = Tervscan(L"--no-cure \"" + tree.Path() + L"\"");
    EXPECT_EQ(1u, noCure.exitCode);
    EXPECT_TRUE(HasLine(noCure.output, Narrow(tree / L"cure.exe") + ": Cure.Me FOUND"));
    EXPECT_NE(std::string::npos, ReadFile(tree / L"cure.exe").find("TVE:DETECT")) << "--no-cure changed the file";
    EXPECT_FALSE(FileExists(L"D:\\TER.QUAR")) << "nothing is quarantined without a cure";

    ChildResult infected = Tervscan(L"\"" + tree.Path() + L"\"");
    EXPECT_EQ(1u, infected.exitCode);
    EXPECT_TRUE(HasLine(infected.output, Narrow(tree / L"cure.exe") + ": Cure.Me FOUND (cured) (quarantined)"));
    EXPECT_TRUE(HasLine(infected.output, Narrow(tree / L"plain.dll") + ": Plain.Bad FOUND"));
    EXPECT_TRUE(HasLine(infected.output, Narrow(tree / L"\x0444\x0430\x0439\x043B.exe") + ": Cyrillic.Name FOUND"));
    EXPECT_FALSE(HasLine(infected.output, Narrow(tree / L"notes.txt") + ": In.Text FOUND")) << "filtered out";
    EXPECT_TRUE(HasLine(infected.output, "Checked files: 4"));
    EXPECT_TRUE(HasLine(infected.output, "Threats found: 3"));
    EXPECT_TRUE(HasLine(infected.output, "Threats cured: 1"));
    EXPECT_NE(std::string::npos, infected.output.find("[DEBUG] [Add]\n")) << "diagnostic lines stay as they are";

    ChildResult all = Tervscan(L"--all-files --no-cure \"" + tree.Path() + L"\"");
    EXPECT_TRUE(HasLine(all.output, Narrow(tree / L"notes.txt") + ": In.Text FOUND"));
    EXPECT_TRUE(HasLine(all.output, "Checked files: 5"));
    ChildResult file = Tervscan(L"--no-cure \"" + (tree / L"notes.txt") + L"\"");
    EXPECT_TRUE(HasLine(file.output, Narrow(tree / L"notes.txt") + ": In.Text FOUND")) << "a file target is always scanned";

    // A file the engine cannot read is an error, never clean.
    HANDLE held = ::CreateFileW((tree / L"clean.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ChildResult locked = Tervscan(L"--no-cure \"" + (tree / L"clean.exe") + L"\"");
    ::CloseHandle(held);
    EXPECT_EQ(2u, locked.exitCode);
    EXPECT_TRUE(HasLine(locked.output, Narrow(tree / L"clean.exe") + ": ERROR the file is in use by another program"))
        << locked.output;
    RemoveQuarantineFolders();
}

TEST(ConsoleRuns, QuarantineListRestoreAndDelete) {
    RemoveQuarantineFolders();
    ScratchFolder tree;
    const std::string original = "TVE:DETECT 1 Kept.Copy curable\n";
    WriteFile(tree / L"a.exe", original);
    WriteFile(tree / L"b.exe", "TVE:DETECT 1 Second curable\n");
    ASSERT_EQ(1u, Tervscan(L"\"" + tree.Path() + L"\"").exitCode);

    ChildResult list = Quarantine(L"list");
    EXPECT_EQ(0u, list.exitCode);
    std::vector<std::string> lines = ResultLines(list.output);
    ASSERT_EQ(2u, lines.size());
    std::string aLine;
    for (const std::string& line : lines)
        if (line.find("Kept.Copy") != std::string::npos) aLine = line;
    ASSERT_FALSE(aLine.empty());
    std::vector<std::string> fields;
    std::istringstream split(aLine);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    ASSERT_EQ(6u, fields.size());
    EXPECT_EQ("100", fields[2]);
    EXPECT_EQ("Kept.Copy", fields[3]);
    EXPECT_EQ(Narrow(tree / L"a.exe"), fields[4]) << "drive letters in upper case, as everywhere";
    EXPECT_EQ(fields, [&] {  // the same identifiers in the next run
        std::vector<std::string> again;
        for (const std::string& line : ResultLines(Quarantine(L"list").output))
            if (line.find("Kept.Copy") != std::string::npos) {
                std::istringstream s(line);
                for (std::string f; std::getline(s, f, '\t');) again.push_back(f);
            }
        return again;
    }());

    ScratchFolder elsewhere;
    ChildResult toFolder = Quarantine(L"restore " + std::wstring(fields[0].begin(), fields[0].end()) + L" --to \"" +
                                      elsewhere.Path() + L"\"");
    EXPECT_EQ(0u, toFolder.exitCode) << toFolder.errors;
    EXPECT_EQ(original, ReadFile(elsewhere / L"a.exe"));
    EXPECT_EQ(1u, ResultLines(Quarantine(L"list").output).size()) << "a restored entry leaves the quarantine";

    ChildResult unknown = Quarantine(L"delete 99");
    EXPECT_EQ(2u, unknown.exitCode);
    EXPECT_NE(std::string::npos, unknown.errors.find("no quarantine entry with identifier 99"));
    ChildResult restore = Quarantine(L"restore 1");
    EXPECT_EQ(0u, restore.exitCode) << restore.errors;
    EXPECT_NE(std::string::npos, ReadFile(tree / L"b.exe").find("TVE:DETECT 1 Second")) << "back in its place";
    EXPECT_EQ(1u, ResultLines(Quarantine(L"list").output).size()) << "the cured file it replaced is kept";

    ChildResult removed = Quarantine(L"delete 1");
    EXPECT_EQ(0u, removed.exitCode);
    EXPECT_EQ(0u, ResultLines(Quarantine(L"list").output).size());
    RemoveQuarantineFolders();
}
