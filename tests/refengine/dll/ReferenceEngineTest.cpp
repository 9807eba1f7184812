// The reference engine through the engine contract, as the program loads it.
#include "engine/AvCore.h"
#include "tests/refengine/ZipWriter.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <boost/thread/thread.hpp>

using namespace AvCore;
using namespace TestSupport;

namespace {

const std::string Eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
const std::string Appended = "TERVAN-APPENDED-TEST-BODY";
const uint32_t NoOptions[8] = {};

typedef void(__stdcall* ReportFn)(uint32_t*, uint32_t*);

// An engine folder of its own: the reference engine, its default base and the test's bases.
class ReferenceEngine : public ::testing::Test {
protected:
    ReferenceEngine() {
        ::CopyFileW((ExecutableFolder() + L"Bases\\ScanMain.DLL").c_str(), (engineFolder / L"ScanMain.DLL").c_str(), FALSE);
        ::CopyFileW((ExecutableFolder() + L"Bases\\tervan.tvb").c_str(), (engineFolder / L"tervan.tvb").c_str(), FALSE);
        WriteFile(engineFolder / L"extra.ndb",
                  "Long.Name." + std::string(100, 'N') + ":0:*:6c6f6e676e616d65\n"  // "longname"
                  "Unused.Type:8:*:aabbccdd\n");
        WriteFile(engineFolder / L"extra.hdb", "44d88612fea8a8f36de82e1278abb02f:68:Eicar.By.Hash\n");
    }
    void Load() {
        core.reset(new CAvCore(engineFolder.Path().c_str()));
        scanner = core->CreateScanner(0xFFFFFFFF, NoOptions);
        ASSERT_TRUE(scanner);
        scanner->onThreat.connect([this](const Threat& t) { threats.push_back(t); });
        scanner->onObject.connect([this](const wchar_t* name, ObjectType, bool) { objects.push_back(name); });
    }
    std::wstring File(const std::wstring& name, const std::string& content) {
        WriteFile(files / name, content);
        return files / name;
    }

    ScratchFolder engineFolder, files;
    std::unique_ptr<CAvCore> core;
    boost::shared_ptr<CAvCoreScanner> scanner;
    std::vector<Threat> threats;
    std::vector<std::wstring> objects;
};

}  // namespace

TEST_F(ReferenceEngine, LoadsEveryBaseAndReportsItsRecords) {
    Load();
    EXPECT_EQ(0x01000000u, core->GetCoreVersion());
    EXPECT_EQ(4u, core->GetRecordCount()) << "two of its own, one body, one hash";
    HMODULE module = ::GetModuleHandleW((engineFolder / L"ScanMain.DLL").c_str());
    ASSERT_NE(nullptr, module);
    uint32_t records = 0, skipped = 0;
    reinterpret_cast<ReportFn>(::GetProcAddress(module, "RefEngineReport"))(&records, &skipped);
    EXPECT_EQ(1u, skipped) << "the line for a target type not read";
}

TEST_F(ReferenceEngine, DetectsCuresAndKeepsNamesInTheirBuffer) {
    Load();
    EXPECT_TRUE(scanner->FScan(File(L"clean.exe", "nothing to see").c_str()));
    const std::wstring eicar = File(L"eicar.com", Eicar);
    EXPECT_FALSE(scanner->FScan(eicar.c_str()));
    ASSERT_EQ(1u, threats.size());
    EXPECT_EQ(L"EICAR-Test-File", threats[0].name);
    EXPECT_FALSE(threats[0].curable) << "the test file is not curable";
    EXPECT_FALSE(scanner->Cure(eicar.c_str(), 1));
    EXPECT_EQ(Eicar, ReadFile(eicar));

    const std::wstring host = File(L"host.exe", "MZ the host program" + Appended + " appended payload");
    EXPECT_FALSE(scanner->FScan(host.c_str()));
    EXPECT_TRUE(threats.back().curable);
    EXPECT_EQ(L"Tervan.Test.Appended", threats.back().name);
    EXPECT_TRUE(scanner->Cure(host.c_str(), 1));
    EXPECT_EQ("MZ the host program", ReadFile(host)) << "cut where the body begins";
    EXPECT_FALSE(FileExists(host + L".tvcure")) << "the cure replaced the file in one step";
    EXPECT_TRUE(scanner->FScan(host.c_str()));

    EXPECT_FALSE(scanner->FScan(File(L"long.bin", "xx longname xx").c_str()));
    EXPECT_EQ(63u, threats.back().name.size()) << "at most 63 characters and the NUL in the 64-byte buffer";
    EXPECT_EQ(0u, threats.back().name.find(L"Long.Name.NNN"));

    // A device reads as empty: never taken for a clean file (FIFOs and links to devices alike).
    Reason why;
    EXPECT_EQ(CAvCoreScanner::Verdict::NotScanned, scanner->Scan(L"\\\\.\\NUL", &why));
    EXPECT_NE(std::wstring::npos, why.argument.find(L"not a regular file")) << Narrow(why.argument);
}

TEST_F(ReferenceEngine, ArchiveMembersHaveTheirOwnVerdicts) {
    Load();
    ZipWriter inner;
    inner.Add("deep/eicar.txt", Eicar, false);
    ZipWriter outer;
    outer.Add("readme.txt", "hello", true);
    outer.Add("bin/tool.exe", "MZ tool " + Appended, true);
    outer.Add("nested.zip", inner.Bytes(), false);
    const std::wstring archive = File(L"bundle.zip", outer.Bytes());
    EXPECT_FALSE(scanner->FScan(archive.c_str()));
    EXPECT_EQ((std::vector<std::wstring>{archive + L"\\readme.txt", archive + L"\\bin\\tool.exe",
                                         archive + L"\\nested.zip\\deep\\eicar.txt", archive + L"\\nested.zip"}),
              objects);
    ASSERT_EQ(4u, threats.size()) << "three members (one nested) and then the archive";
    EXPECT_EQ(archive + L"\\bin\\tool.exe", threats[0].object);
    EXPECT_TRUE(threats[0].fromCallback);
    EXPECT_EQ(L"EICAR-Test-File", threats[1].name);
    EXPECT_EQ(archive, threats[3].object);
    EXPECT_EQ(L"Tervan.Test.Appended", threats[3].name) << "the first detected member names the archive";
    EXPECT_FALSE(threats[3].curable) << "a member cannot be cured by cutting the archive";

    // Nested deeper than the limit: not opened, and not called clean either.
    std::string nested = inner.Bytes();
    for (int level = 0; level < 18; ++level) {  // one more than the engine opens
        ZipWriter wrap;
        wrap.Add("level.zip", nested, false);
        nested = wrap.Bytes();
    }
    threats.clear();
    Reason why;
    EXPECT_EQ(CAvCoreScanner::Verdict::NotScanned, scanner->Scan(File(L"deep.zip", nested).c_str(), &why));
    EXPECT_EQ(L"not fully scanned: archives nested deeper than 17", why.argument);
}

TEST_F(ReferenceEngine, ZipBombsAreRefusedNotObeyed) {
    Load();
    ZipWriter bombs;
    bombs.Add("huge.bin", std::string(40u << 20, '\0') + Eicar, true);             // beyond the member size
    bombs.Add("ratio.bin", std::string(20u << 20, '\0') + Appended, true);         // beyond the ratio
    bombs.Add("liar.bin", std::string(1 << 20, '\0') + Eicar, true, 1000);          // claims 1000 bytes
    const std::wstring archive = File(L"bombs.zip", bombs.Bytes());
    EXPECT_LT(ReadFile(archive).size(), 200000u);
    Reason why;
    EXPECT_EQ(CAvCoreScanner::Verdict::NotScanned, scanner->Scan(archive.c_str(), &why)) << "cut short, so not clean";
    EXPECT_EQ(L"not fully scanned: ZIP member grows over 200 times", why.argument);
    EXPECT_TRUE(threats.empty());
}

TEST_F(ReferenceEngine, AStopRequestEndsTheScanAtTheNextMember) {
    Load();
    ZipWriter many;
    for (int i = 0; i < 50; ++i) many.Add("m" + std::to_string(i) + ".txt", "member " + std::to_string(i), true);
    many.Add("last.com", Eicar, false);
    const std::wstring archive = File(L"many.zip", many.Bytes());
    bool stopOnce = true;
    scanner->onObject.connect([&](const wchar_t*, ObjectType, bool) {
        if (stopOnce && objects.size() == 3) {
            stopOnce = false;
            scanner->Stop();
        }
    });
    EXPECT_TRUE(scanner->FScan(archive.c_str())) << "a stopped scan reports nothing";
    EXPECT_EQ(3u, objects.size());
    objects.clear();
    EXPECT_FALSE(scanner->FScan(File(L"again.zip", many.Bytes()).c_str())) << "the next call starts afresh";
}

TEST_F(ReferenceEngine, ScanningContextsOnTwoThreads) {
    Load();
    boost::shared_ptr<CAvCoreScanner> second = core->CreateScanner(0xFFFFFFFF, NoOptions);
    ASSERT_TRUE(second);
    const std::wstring a = File(L"a.com", Eicar), b = File(L"b.exe", "host" + Appended);
    bool firstFound = false, secondFound = false;
    boost::thread one([&] {
        for (int i = 0; i < 50; ++i) firstFound = !scanner->FScan(a.c_str());
    });
    boost::thread two([&] {
        for (int i = 0; i < 50; ++i) secondFound = !second->FScan(b.c_str());
    });
    one.join();
    two.join();
    EXPECT_TRUE(firstFound && secondFound);
}
