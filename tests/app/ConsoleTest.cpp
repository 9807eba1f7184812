// tervscan.exe: its command line, scans and quarantine commands, run as a user would.
#include "app/console/ConsoleOptions.h"
#include "base/WinHandle.h"
#include "tests/quarantine/ContainerBuilder.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    ConsoleOptions o = ParseCommandLine({L"--no-cure", L"--dangerous-types", L"a", L"--", L"--odd"});
    EXPECT_TRUE(o.error.empty());
    EXPECT_FALSE(o.cure);
    EXPECT_TRUE(o.dangerousOnly);
    EXPECT_FALSE(ParseCommandLine({L"--all-files", L"a"}).dangerousOnly) << "every file, as by default";
    EXPECT_EQ((std::vector<std::wstring>{L"a", L"--odd"}), o.paths);
    o = ParseCommandLine({L"--quarantine", L"restore", L"3f2a", L"--to", L"D:\\x"});
    EXPECT_EQ(ConsoleOptions::QuarantineRestore, o.mode);
    EXPECT_EQ(L"3f2a", o.entry);
    EXPECT_EQ(L"D:\\x", o.restoreFolder);
    o = ParseCommandLine({L"-i", L"--exclude", L"*.tmp", L"--exclude", L"x\\*", L"--exclude-dir", L"cache", L"-f", L"list.txt",
                          L"-l", L"log.txt", L"-v"});
    EXPECT_TRUE(o.error.empty()) << "a file list is enough to scan";
    EXPECT_TRUE(o.infectedOnly && o.verbose);
    EXPECT_EQ((std::vector<std::wstring>{L"*.tmp", L"x\\*"}), o.excludeFiles);
    EXPECT_EQ(std::vector<std::wstring>{L"cache"}, o.excludeFolders);
    EXPECT_EQ(L"list.txt", o.fileList);
    EXPECT_EQ(L"log.txt", o.logFile);
    EXPECT_EQ(ConsoleOptions::Help, ParseCommandLine({L"x", L"--help"}).mode);
    EXPECT_EQ(0, o.workers) << "one per processor unless asked";
    EXPECT_EQ(3, ParseCommandLine({L"-j", L"3", L"a"}).workers);
    for (const std::vector<std::wstring>& bad :
         std::vector<std::vector<std::wstring>>{{},
                                                {L"--frobnicate", L"a"},
                                                {L"--quarantine"},
                                                {L"--quarantine", L"restore"},
                                                {L"--quarantine", L"delete", L"-3"},
                                                {L"--quarantine", L"delete", L"D:\\x.tqr"},
                                                {L"--exclude"},
                                                {L"--quarantine", L"list", L"--exclude", L"a"},
                                                {L"--quarantine", L"list", L"a"},
                                                {L"--quarantine", L"delete", L"1", L"--to", L"D:\\"},
                                                {L"a", L"--to", L"D:\\"},
                                                {L"--engine"},
                                                {L"-j", L"0", L"a"},
                                                {L"-j", L"2x", L"a"},
                                                {L"--jobs", L"33", L"a"},
                                                {L"--no-cure", L"--remove", L"a"},
                                                {L"--remove", L"--move", L"D:\\x", L"a"},
                                                {L"--move=", L"a"}})
        EXPECT_FALSE(ParseCommandLine(bad).error.empty()) << bad.size();
}

TEST(ConsoleRuns, HelpErrorsAndExitCodes) {
    ChildResult help = RunProgram(L"tervscan.exe", L"--help");
    EXPECT_EQ(0u, help.exitCode);
    EXPECT_EQ(0u, help.output.find("Usage:"));
    ChildResult bad = RunProgram(L"tervscan.exe", L"--frobnicate");
    EXPECT_EQ(2u, bad.exitCode);
    EXPECT_EQ(0u, bad.errors.find("tervscan: unknown option --frobnicate"));
    EXPECT_NE(std::string::npos, help.output.find("ARE CURED")) << "the default is said plainly";
    ScratchFolder tree;
    WriteFile(tree / L"clean.exe", "clean");
    // A missing path is reported as a result, the rest is scanned, and the run ends with 2.
    ChildResult missing = Tervscan(L"D:\\no-such-folder \"" + tree.Path() + L"\"");
    EXPECT_EQ(2u, missing.exitCode);
    EXPECT_TRUE(HasLine(missing.output, "D:\\no-such-folder: ERROR No such file or folder")) << missing.output;
    EXPECT_TRUE(HasLine(missing.output, Narrow(tree / L"clean.exe") + ": OK"));
    // Each way an engine fails to load is named.
    const std::pair<std::wstring, std::string> engines[] = {
        {L"D:\\nowhere", "the engine folder D:\\nowhere does not exist or cannot be opened"},
        {tree.Path(), "ScanMain.DLL is missing from the engine folder"},
        {EngineFolder(L"missing-CoreStopScan"), "ScanMain.DLL lacks the export CoreStopScan"},
        {EngineFolder(L"init-65"), "the engine refused to start (CoreInit answered 65)"}};
    for (const auto& engine : engines) {
        ChildResult failed = RunProgram(L"tervscan.exe", L"--engine \"" + engine.first + L"\" \"" + tree.Path() + L"\"");
        EXPECT_EQ(2u, failed.exitCode);
        EXPECT_NE(std::string::npos, failed.errors.find("Error loading antivirus engine! (" + engine.second + ")"))
            << failed.errors;
    }
    // A relative engine folder, from the build folder the tests run in.
    ChildResult relative = RunProgram(L"tervscan.exe", L"--engine engines\\test \"" + tree.Path() + L"\"");
    EXPECT_EQ(0u, relative.exitCode) << relative.errors;
    // Relative targets name places from the folder tervscan starts in, though the engine's load makes
    // its own folder the current one.
    WriteFile(tree / L"sub\\bad.exe", "TVE:DETECT 1 Relative.Folder\n");
    WriteFile(tree / L"bad.txt", "TVE:DETECT 1 Relative.File\n");
    wchar_t started[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, started);
    ::SetCurrentDirectoryW(tree.Path().c_str());
    ChildResult relativeTargets = Tervscan(L"--no-cure bad.txt sub");
    ::SetCurrentDirectoryW(started);
    EXPECT_EQ(1u, relativeTargets.exitCode) << relativeTargets.output;
    EXPECT_TRUE(HasLine(relativeTargets.output, Narrow(tree / L"bad.txt") + ": Relative.File FOUND")) << relativeTargets.output;
    EXPECT_TRUE(HasLine(relativeTargets.output, Narrow(tree / L"sub\\bad.exe") + ": Relative.Folder FOUND"));
    ChildResult version = RunProgram(L"tervscan.exe", L"--version --engine \"" + EngineFolder(L"test") + L"\"");
    EXPECT_EQ(0u, version.exitCode);
    EXPECT_EQ("tervscan 1.0.0.0, engine 1.2.3.4, 12345 records\n", version.output);
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

    ChildResult infected = Tervscan(L"--dangerous-types \"" + tree.Path() + L"\"");
    EXPECT_EQ(1u, infected.exitCode);
    EXPECT_TRUE(HasLine(infected.output, Narrow(tree / L"cure.exe") + ": Cure.Me FOUND (cured) (quarantined)"));
    EXPECT_TRUE(HasLine(infected.output, Narrow(tree / L"plain.dll") + ": Plain.Bad FOUND"));
    EXPECT_TRUE(HasLine(infected.output, Narrow(tree / L"\x0444\x0430\x0439\x043B.exe") + ": Cyrillic.Name FOUND"));
    EXPECT_FALSE(HasLine(infected.output, Narrow(tree / L"notes.txt") + ": In.Text FOUND")) << "filtered out";
    EXPECT_TRUE(HasLine(infected.output, "Checked files: 4"));
    EXPECT_TRUE(HasLine(infected.output, "Threats found: 3"));
    EXPECT_TRUE(HasLine(infected.output, "Threats cured: 1"));
    EXPECT_EQ(std::string::npos, infected.output.find("[DEBUG]")) << "results alone on standard output";
    ChildResult verbose = Tervscan(L"--verbose --no-cure \"" + tree.Path() + L"\"");
    EXPECT_NE(std::string::npos, verbose.errors.find("[DEBUG] CCoreProxy created\n")) << "diagnostics on request, apart";

    ChildResult all = Tervscan(L"--no-cure \"" + tree.Path() + L"\"");
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

    const std::wstring aId(fields[0].begin(), fields[0].end());
    EXPECT_EQ(36u, aId.size()) << "the container's GUID";
    EXPECT_NE(std::string::npos, fields[5].find(fields[0] + ".tqr"));

    ScratchFolder elsewhere;
    WriteFile(elsewhere / L"a.exe", "someone's file");
    ChildResult toFolder = Quarantine(L"restore " + aId.substr(0, 8) + L" --to \"" + elsewhere.Path() + L"\"");
    EXPECT_EQ(0u, toFolder.exitCode) << toFolder.errors;
    EXPECT_EQ("someone's file", ReadFile(elsewhere / L"a.exe")) << "never over a file in the folder";
    EXPECT_EQ(original, ReadFile(elsewhere / L"a (2).exe"));
    lines = ResultLines(Quarantine(L"list").output);
    ASSERT_EQ(1u, lines.size()) << "a restored entry leaves the quarantine";
    const std::wstring bId(lines[0].begin(), lines[0].begin() + 36);

    ChildResult unknown = Quarantine(L"delete " + aId);
    EXPECT_EQ(2u, unknown.exitCode);
    EXPECT_NE(std::string::npos, unknown.errors.find("no quarantine entry with identifier " + fields[0]));
    ChildResult restore = Quarantine(L"restore " + bId);
    EXPECT_EQ(0u, restore.exitCode) << restore.errors;
    EXPECT_NE(std::string::npos, ReadFile(tree / L"b.exe").find("TVE:DETECT 1 Second")) << "back in its place";
    lines = ResultLines(Quarantine(L"list").output);
    ASSERT_EQ(1u, lines.size()) << "the cured file it replaced is kept";

    // A container copied in under another name that starts with the first one's: the whole GUID still
    // names one entry, the other answers to its own name. A container that cannot be deleted stays.
    const std::wstring lastId(lines[0].begin(), lines[0].begin() + 36);
    const std::string containerText = lines[0].substr(lines[0].rfind('\t') + 1);
    const std::wstring container(containerText.begin(), containerText.end());
    ASSERT_TRUE(::CopyFileW(container.c_str(), (container.substr(0, container.size() - 4) + L" copy.tqr").c_str(), TRUE));
    {
        Win::FileHandle open(::CreateFileW(container.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ChildResult refused = Quarantine(L"delete " + lastId);
        EXPECT_EQ(2u, refused.exitCode);
        EXPECT_NE(std::string::npos, refused.errors.find("cannot delete")) << refused.errors;
    }
    EXPECT_EQ(2u, ResultLines(Quarantine(L"list").output).size()) << "both still listed";
    EXPECT_EQ(0u, Quarantine(L"delete \"" + lastId + L" copy\"").exitCode);
    ChildResult removed = Quarantine(L"delete " + lastId);
    EXPECT_EQ(0u, removed.exitCode) << removed.errors;
    EXPECT_EQ(0u, ResultLines(Quarantine(L"list").output).size());

    // A container whose stored texts hold tabs and line breaks is still one line of six fields.
    ContainerBuilder::Object forged;
    forged.storedPath = L"?:\\x\nforged\tline.exe";
    forged.content = "x";
    WriteFile(L"D:\\TER.QUAR\\forged.tqr", ContainerBuilder(L"Evil\r\nD:\\fake\t1", 1, 100).Add(forged).Bytes());
    lines = ResultLines(Quarantine(L"list").output);
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(5, std::count(lines[0].begin(), lines[0].end(), '\t')) << lines[0];
    RemoveQuarantineFolders();
}

TEST(ConsoleRuns, ABcryptDllPlantedBesideTheProgramIsNotLoaded) {
    // A copy of tervscan.exe beside a bcrypt.dll that hashes everything to zeros; Wine told to prefer
    // such a native DLL, as Windows does. The file is still found by its MD5.
    const std::wstring planted = ExecutableFolder() + L"planted\\";
    ASSERT_TRUE(::CopyFileW((ExecutableFolder() + L"tervscan.exe").c_str(), (planted + L"tervscan.exe").c_str(), FALSE));
    ScratchFolder engine, tree;
    ASSERT_TRUE(::CopyFileW((ExecutableFolder() + L"Bases\\ScanMain.DLL").c_str(), (engine / L"ScanMain.DLL").c_str(), FALSE));
    WriteFile(engine / L"planted.hdb", "82efe7ae66dbd3576e00508075c6354e:25:Planted.Hash.Test\n");
    WriteFile(tree / L"known.bin", "a file known by its hash\n");
    const wchar_t* const overrides = L"Software\\Wine\\AppDefaults\\tervscan.exe\\DllOverrides";
    const wchar_t native[] = L"native,builtin";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_CURRENT_USER, overrides, L"bcrypt", REG_SZ, native, sizeof(native)));
    ChildResult scan = RunProgram(L"planted\\tervscan.exe", L"--no-cure --engine \"" + engine.Path() + L"\" \"" + tree.Path() + L"\"");
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER, overrides, L"bcrypt");
    ::DeleteFileW((planted + L"tervscan.exe").c_str());
    EXPECT_EQ(1u, scan.exitCode) << scan.output << scan.errors;
    EXPECT_NE(std::string::npos, scan.output.find("Planted.Hash.Test FOUND")) << scan.output;
}

TEST(ConsoleRuns, LinesAppearAsTheScanGoesAndTheOptionsShapeIt) {
    ScratchFolder tree;
    WriteFile(tree / L"a\\first.exe", "TVE:DETECT 1 First.Found\n");
    WriteFile(tree / L"b\\slow.exe", "TVE:SLEEP 4000\n");
    {
        RunningProgram scan(L"tervscan.exe", L"--no-cure --engine \"" + EngineFolder(L"test") + L"\" \"" + tree.Path() + L"\"");
        const std::string early = scan.ReadUntil("First.Found FOUND", 3000);
        EXPECT_NE(std::string::npos, early.find(Narrow(tree / L"a\\first.exe") + ": First.Found FOUND\n"))
            << "the line is there while the engine still works on the next file";
        EXPECT_TRUE(scan.Running());
        EXPECT_EQ(1u, scan.Finish(30000));
    }
    // Exclusions, a list file, only detections, and a log.
    WriteFile(tree / L"b\\slow.exe", "clean");
    WriteFile(tree / L"cache\\skip.exe", "TVE:DETECT 1 Skipped.Folder\n");
    WriteFile(tree / L"c\\skip.tmp.exe", "TVE:DETECT 1 Skipped.File\n");
    WriteFile(tree / L"c\\\x0444.exe", "TVE:DETECT 2 Wide.Name\n");
    WriteFile(tree / L"list.txt", "\xEF\xBB\xBF" + Narrow(tree / L"a") + "\r\n\r\n" + Narrow(tree / L"c") + "\n" + Narrow(tree / L"cache") + "\n");
    ChildResult shaped = Tervscan(L"--no-cure -i --exclude *.tmp.* --exclude-dir cach? -l \"" + (tree / L"log.txt") +
                                  L"\" -f \"" + (tree / L"list.txt") + L"\" \"" + (tree / L"b") + L"\"");
    EXPECT_EQ(1u, shaped.exitCode) << shaped.errors;
    const std::vector<std::string> lines = ResultLines(shaped.output);
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.find(": ") != std::string::npos) found.push_back(line);
    // Two workers may finish the files in either order.
    found.resize(std::min<size_t>(2, found.size()));
    std::sort(found.begin(), found.end());
    EXPECT_EQ((std::vector<std::string>{Narrow(tree / L"a\\first.exe") + ": First.Found FOUND",
                                        Narrow(tree / L"c\\\x0444.exe") + ": Wide.Name FOUND"}),
              found)
        << shaped.output;
    EXPECT_TRUE(HasLine(shaped.output, "Checked files: 3")) << "a, c without the excluded file, b; not the excluded folder";
    EXPECT_TRUE(HasLine(shaped.output, "Scanned folders: 3"));
    EXPECT_TRUE(HasLine(shaped.output, "Engine: engine 1.2.3.4, 12345 records"));
    EXPECT_EQ(shaped.output, ReadFile(tree / L"log.txt")) << "the log holds the same lines";
    // A list with a line that is no path (here binary bytes, then a bare root) scans nothing.
    for (const std::string& bad : {std::string("\x01\x9a\xff\x00z"), std::string("  \\  ")}) {
        WriteFile(tree / L"bad-list.txt", Narrow(tree / L"a") + "\r\n\r\n" + bad + "\r\n" + Narrow(tree / L"c") + "\n");
        ChildResult refused = Tervscan(L"--no-cure -f \"" + (tree / L"bad-list.txt") + L"\"");
        EXPECT_EQ(2u, refused.exitCode);
        EXPECT_NE(std::string::npos, refused.errors.find("bad-list.txt, line 3, is not a path")) << refused.errors;
        EXPECT_EQ(std::string::npos, refused.output.find("FOUND")) << "nothing was scanned";
    }
}

TEST(ConsoleRuns, SeveralWorkersCureEachFileOnceAndWriteWholeLines) {
    RemoveQuarantineFolders();
    ScratchFolder tree;
    const int files = 60;
    for (int i = 0; i < files; ++i)
        WriteFile(tree / (L"d" + std::to_wstring(i % 3) + L"\\f" + std::to_wstring(i) + L".exe"),
                  i % 2 ? "clean " + std::to_string(i) : "TVE:DETECT 1 Cure.Me curable\n");
    ChildResult scan = Tervscan(L"-j 4 \"" + tree.Path() + L"\"");
    EXPECT_EQ(1u, scan.exitCode) << scan.errors;
    // Each file has exactly one line, whole, whatever the order.
    for (int i = 0; i < files; ++i) {
        const std::string path = Narrow(tree / (L"d" + std::to_wstring(i % 3) + L"\\f" + std::to_wstring(i) + L".exe"));
        const std::string wanted = path + (i % 2 ? ": OK" : ": Cure.Me FOUND (cured) (quarantined)");
        size_t lines = 0;
        for (const std::string& line : ResultLines(scan.output)) lines += line.compare(0, path.size() + 1, path + ":") == 0;
        EXPECT_EQ(1u, lines) << path;
        EXPECT_TRUE(HasLine(scan.output, wanted)) << wanted << "\n" << scan.output;
    }
    EXPECT_TRUE(HasLine(scan.output, "Checked files: 60"));
    EXPECT_TRUE(HasLine(scan.output, "Threats cured: 30"));
    EXPECT_TRUE(HasLine(scan.output, "Scanned folders: 4"));
    // One copy per cured file, never two.
    const std::vector<std::string> entries = ResultLines(Quarantine(L"list").output);
    EXPECT_EQ(30u, entries.size());
    RemoveQuarantineFolders();
}

TEST(ConsoleRuns, RemoveAndMoveGoThroughTheQuarantine) {
    RemoveQuarantineFolders();
    ScratchFolder tree, elsewhere;
    WriteFile(tree / L"a\\plain.dll", "TVE:DETECT 2 Plain.Bad\n");
    WriteFile(tree / L"b\\plain.dll", "TVE:DETECT 2 Plain.Bad\n");
    WriteFile(tree / L"c\\cure.exe", "TVE:DETECT 1 Cure.Me curable\n");
    WriteFile(elsewhere / L"plain.dll", "someone else's file");
    // Moved into the folder under free names; a cured file stays where it is.
    ChildResult moved = Tervscan(L"-j 1 --move \"" + elsewhere.Path() + L"\" \"" + tree.Path() + L"\"");
    EXPECT_EQ(1u, moved.exitCode) << moved.output << moved.errors;
    EXPECT_TRUE(HasLine(moved.output, Narrow(tree / L"a\\plain.dll") + ": Plain.Bad FOUND (quarantined) (moved to " +
                                          Narrow(elsewhere / L"plain (2).dll") + ")"))
        << moved.output;
    EXPECT_TRUE(HasLine(moved.output, Narrow(tree / L"b\\plain.dll") + ": Plain.Bad FOUND (quarantined) (moved to " +
                                          Narrow(elsewhere / L"plain (3).dll") + ")"));
    EXPECT_TRUE(HasLine(moved.output, Narrow(tree / L"c\\cure.exe") + ": Cure.Me FOUND (cured) (quarantined)"));
    EXPECT_TRUE(HasLine(moved.output, "Threats moved: 2"));
    EXPECT_FALSE(FileExists(tree / L"a\\plain.dll"));
    EXPECT_EQ("someone else's file", ReadFile(elsewhere / L"plain.dll"));
    EXPECT_EQ("TVE:DETECT 2 Plain.Bad\n", ReadFile(elsewhere / L"plain (2).dll"));
    // Removed, each with a copy that restores it.
    ChildResult removed = Tervscan(L"--remove \"" + (elsewhere / L"plain (2).dll") + L"\"");
    EXPECT_TRUE(HasLine(removed.output, Narrow(elsewhere / L"plain (2).dll") + ": Plain.Bad FOUND (quarantined) (removed)"))
        << removed.output;
    EXPECT_TRUE(HasLine(removed.output, "Threats removed: 1"));
    EXPECT_FALSE(FileExists(elsewhere / L"plain (2).dll"));
    EXPECT_EQ(4u, ResultLines(Quarantine(L"list").output).size()) << "two moved, one cured, one removed";
    // Never without the copy: a file held by another program stays as it is, and the line says why.
    HANDLE held = ::CreateFileW((elsewhere / L"plain (3).dll").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ChildResult refused = Tervscan(L"--remove \"" + (elsewhere / L"plain (3).dll") + L"\"");
    ::CloseHandle(held);
    EXPECT_NE(std::string::npos, refused.output.find("(not removed: ")) << refused.output;
    EXPECT_TRUE(FileExists(elsewhere / L"plain (3).dll"));
    EXPECT_EQ(2u, Tervscan(L"--move D:\\no-such-folder \"" + tree.Path() + L"\"").exitCode);
    RemoveQuarantineFolders();
}
