// Scanners: scan and cure calls, callbacks, Threat records, stop requests and scanning contexts.
#include "engine/AvCore.h"
#include "resources/resource.h"
#include "tests/engine/TestEngineAccess.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <boost/thread/thread.hpp>

#include <vector>

using namespace AvCore;
using namespace TestSupport;

namespace {

const uint32_t NoOptions[8] = {};

// Everything a scanner emitted, in order.
struct Recorder {
    explicit Recorder(CAvCoreScanner& scanner) {
        scanner.onObject.connect([this](const wchar_t* name, ObjectType type, bool inner) {
            objects.push_back(name);
            EXPECT_EQ(File, type);
            EXPECT_TRUE(inner);
        });
        scanner.onThreat.connect([this](const Threat& threat) { threats.push_back(threat); });
    }
    std::vector<std::wstring> objects;
    std::vector<Threat> threats;
};

class Scanners : public ::testing::Test {
protected:
    Scanners() : folder(EngineFolder(L"test")), core(folder.c_str()) { ResetEngineStats(folder); }

    boost::shared_ptr<CAvCoreScanner> NewScanner(uint32_t flags = 0xFFFFFFFF) {
        boost::shared_ptr<CAvCoreScanner> scanner = core.CreateScanner(flags, NoOptions);
        EXPECT_TRUE(scanner);
        return scanner;
    }
    std::wstring MakeFile(const std::wstring& name, const std::string& content) {
        const std::wstring path = files / name;
        WriteFile(path, content);
        return path;
    }

    std::wstring folder;
    CAvCore core;
    ScratchFolder files;
};

}  // namespace

TEST(ThreatIds, FirstRecordOfTheProcessIsTwoThenThree) {
    CAvCore core(EngineFolder(L"test").c_str());
    boost::shared_ptr<CAvCoreScanner> scanner = core.CreateScanner(0xFFFFFFFF, NoOptions);
    Recorder recorder(*scanner);
    ScratchFolder files;
    WriteFile(files / L"a.exe", "TVE:DETECT 1 Virus.A\n");
    EXPECT_FALSE(scanner->FScan((files / L"a.exe").c_str()));
    EXPECT_FALSE(scanner->FScan((files / L"a.exe").c_str()));
    ASSERT_EQ(2u, recorder.threats.size());
    EXPECT_EQ(2u, recorder.threats[0].id);
    EXPECT_EQ(3u, recorder.threats[1].id);
}

TEST_F(Scanners, CleanFilesAndFailuresEmitNothingAndFailuresAreNotClean) {
    boost::shared_ptr<CAvCoreScanner> scanner = NewScanner();
    Recorder recorder(*scanner);
    EXPECT_TRUE(scanner->FScan(MakeFile(L"clean.txt", "nothing here\n").c_str()));
    EXPECT_TRUE(scanner->FScan(MakeFile(L"zero.txt", "TVE:DETECT 0 NotAThreat\n").c_str()));
    // Any other code is a file the engine could not scan: never clean, and it says why.
    Reason why;
    EXPECT_EQ(CAvCoreScanner::Verdict::NotScanned, scanner->Scan(MakeFile(L"error.txt", "TVE:RESULT 3\n").c_str(), &why));
    EXPECT_EQ(unsigned(IDS_REASON_ENGINE_FAILED), why.id);
    EXPECT_EQ(L"3", why.argument);
    EXPECT_EQ(CAvCoreScanner::Verdict::NotScanned, scanner->Scan((files / L"does-not-exist").c_str(), &why));
    EXPECT_EQ(unsigned(IDS_REASON_FILE_MISSING), why.id) << "the engine's error code";
    EXPECT_EQ(CAvCoreScanner::Verdict::NotScanned,
              scanner->Scan(MakeFile(L"limit.zip", "TVE:RESULT 4294967295 too-deep\n").c_str(), &why));
    EXPECT_EQ(L"too-deep", why.argument) << "the engine's own words";
    EXPECT_FALSE(scanner->FScan(MakeFile(L"again.txt", "TVE:RESULT 5\n").c_str()));
    EXPECT_TRUE(recorder.threats.empty());
    EXPECT_TRUE(recorder.objects.empty());
}

TEST_F(Scanners, DetectionsBecomeThreatRecords) {
    boost::shared_ptr<CAvCoreScanner> scanner = NewScanner();
    Recorder recorder(*scanner);
    const std::wstring one = MakeFile(L"one.exe", "TVE:DETECT 1 Trojan.One\n");
    const std::wstring two = MakeFile(L"two.exe", "TVE:DETECT 2 Worm.Two curable\n");
    EXPECT_FALSE(scanner->FScan(one.c_str()));
    EXPECT_FALSE(scanner->FScan(two.c_str()));
    ASSERT_EQ(2u, recorder.threats.size());
    const Threat& first = recorder.threats[0];
    EXPECT_EQ(L"Trojan.One", first.name);
    EXPECT_EQ(one, first.object);
    EXPECT_EQ(File, first.type);
    EXPECT_FALSE(first.fromCallback);
    EXPECT_TRUE(first.codeIsOne);
    EXPECT_FALSE(first.curable);
    const Threat& second = recorder.threats[1];
    EXPECT_EQ(L"Worm.Two", second.name);
    EXPECT_FALSE(second.codeIsOne);
    EXPECT_TRUE(second.curable);
    EXPECT_EQ(first.id + 1, second.id);
}

TEST_F(Scanners, CallbackDetectionThenScanDetectionEmitsTwice) {
    boost::shared_ptr<CAvCoreScanner> scanner = NewScanner();
    Recorder recorder(*scanner);
    const std::wstring path = MakeFile(L"archive.zip",
                                   "TVE:OBJECT 0 readme.txt\n"
                                   "TVE:OBJECT 0x101 payload.exe Inner.Bad\n"
                                   "TVE:DETECT 1 Outer.Bad curable\n");
    EXPECT_FALSE(scanner->FScan(path.c_str()));
    ASSERT_EQ(2u, recorder.objects.size());
    EXPECT_EQ(path + L">readme.txt", recorder.objects[0]);
    EXPECT_EQ(path + L">payload.exe", recorder.objects[1]);
    ASSERT_EQ(2u, recorder.threats.size());
    EXPECT_TRUE(recorder.threats[0].fromCallback);
    EXPECT_FALSE(recorder.threats[0].curable);
    EXPECT_TRUE(recorder.threats[0].codeIsOne) << "only the verdict's low byte counts";
    EXPECT_EQ(L"Inner.Bad", recorder.threats[0].name);
    EXPECT_EQ(path + L">payload.exe", recorder.threats[0].object);
    EXPECT_FALSE(recorder.threats[1].fromCallback);
    EXPECT_TRUE(recorder.threats[1].curable);
    EXPECT_EQ(path, recorder.threats[1].object);
}

TEST_F(Scanners, CallbacksWithForeignContextIdsAreIgnored) {
    boost::shared_ptr<CAvCoreScanner> scanner = NewScanner();
    Recorder recorder(*scanner);
    for (const char* id : {"0", "65"}) {
        EXPECT_TRUE(scanner->FScan(MakeFile(L"foreign.txt", std::string("TVE:CALLBACKID ") + id + "\n").c_str()));
        EXPECT_EQ(0, EngineStats(folder).lastForeignCallbackResult);
    }
    EXPECT_TRUE(recorder.objects.empty());
    EXPECT_TRUE(recorder.threats.empty());
}

TEST_F(Scanners, StopReachesTheEngineAtItsNextCallbackAndClearsForTheNextCall) {
    boost::shared_ptr<CAvCoreScanner> scanner = NewScanner();
    Recorder recorder(*scanner);
    scanner->onObject.connect([&](const wchar_t*, ObjectType, bool) {
        if (recorder.objects.size() == 5) scanner->Stop();
    });
    const std::wstring path = MakeFile(L"loop.bin", "TVE:LOOP 1000 0\n");
    EXPECT_TRUE(scanner->FScan(path.c_str()));
    TveStats stats = EngineStats(folder);
    EXPECT_EQ(5u, recorder.objects.size()) << "nothing is emitted after the stop";
    EXPECT_EQ(1u, stats.stopCalls);
    EXPECT_EQ(stats.lastCoreId, stats.lastStopCoreId);
    EXPECT_EQ(6u, stats.loopCallbacksMade) << "the callback after the request carries the stop";

    // A stop with no further callback has no effect, and the next call starts with the flag clear.
    scanner->Stop();
    recorder.objects.clear();
    EXPECT_TRUE(scanner->FScan(MakeFile(L"short.bin", "TVE:LOOP 3 0\n").c_str()));
    EXPECT_EQ(3u, recorder.objects.size());
    EXPECT_EQ(1u, EngineStats(folder).stopCalls);
}

TEST_F(Scanners, CureOnlyPassesActionOneToTheEngine) {
    boost::shared_ptr<CAvCoreScanner> scanner = NewScanner();
    const std::wstring path = MakeFile(L"cure.exe", "TVE:DETECT 1 Curable.X curable\n");
    const uint32_t callsBefore = EngineStats(folder).fscanCalls;
    EXPECT_FALSE(scanner->Cure(path.c_str(), 2));
    EXPECT_FALSE(scanner->Cure(path.c_str(), 0));
    EXPECT_EQ(callsBefore, EngineStats(folder).fscanCalls);

    EXPECT_TRUE(scanner->Cure(path.c_str(), 1));
    EXPECT_EQ(1u, EngineStats(folder).lastMode);
    EXPECT_TRUE(scanner->FScan(path.c_str())) << "the cure changed the file";
    EXPECT_FALSE(scanner->Cure(MakeFile(L"fails.exe", "TVE:DETECT 1 X curable\nTVE:CURE fail\n").c_str(), 1));
}

TEST_F(Scanners, BlocksReachTheEngineAsLaidOut) {
    const uint32_t options[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    boost::shared_ptr<CAvCoreScanner> scanner = core.CreateScanner(0xABCD0123, options);
    ASSERT_TRUE(scanner);
    TveStats stats = EngineStats(folder);
    EXPECT_TRUE(stats.contextPathsEmpty);
    EXPECT_EQ(0u, stats.contextReserved);
    EXPECT_EQ(0u, stats.contextReserved2);
    EXPECT_TRUE(stats.contextInfoZeroed);
    EXPECT_TRUE(stats.contextCallbacksSet);

    const std::wstring path = MakeFile(L"curable.exe", "TVE:DETECT 1 X curable\n");
    EXPECT_FALSE(scanner->FScan(path.c_str()));
    EXPECT_FALSE(scanner->FScan(path.c_str()));  // the outcome of the previous detection must not leak in
    stats = EngineStats(folder);
    EXPECT_EQ(L"\\\\?\\" + path, stats.lastPath) << "the literal path: the file itself, whatever its name";
    EXPECT_EQ(0u, stats.lastMode);
    EXPECT_EQ(0xABCD0123u, stats.lastFlags);
    EXPECT_TRUE(stats.lastOutcomeZeroed);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(options[i], stats.lastOptions.options[i]);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(0u, stats.lastOptions.zero[i]);
    EXPECT_EQ(1u, stats.lastOptions.one);
    EXPECT_EQ(0u, stats.lastOptions.zero2);
}

TEST_F(Scanners, ThreatNamesAreReadWithinTheBufferAndFromTheAnsiCodePage) {
    boost::shared_ptr<CAvCoreScanner> scanner = NewScanner();
    Recorder recorder(*scanner);
    EXPECT_FALSE(scanner->FScan(MakeFile(L"long.exe", "TVE:LONGNAME\n").c_str()));
    EXPECT_FALSE(scanner->FScan(MakeFile(L"ansi.exe", "TVE:ANSINAME\n").c_str()));
    ASSERT_EQ(2u, recorder.threats.size());
    EXPECT_EQ(std::wstring(64, L'L'), recorder.threats[0].name) << "an unterminated name stops at 64 bytes";
    wchar_t expected[16] = {};
    ::MultiByteToWideChar(CP_ACP, 0, "Virus.\xC4", -1, expected, 16);
    EXPECT_EQ(std::wstring(expected), recorder.threats[1].name);
}

TEST_F(Scanners, ContextsOpenAndCloseWithTheirScanners) {
    LogCapture log;
    {
        boost::shared_ptr<CAvCoreScanner> a = NewScanner();
        boost::shared_ptr<CAvCoreScanner> b = NewScanner();
        EXPECT_EQ(2u, EngineStats(folder).openContexts);
    }
    EXPECT_EQ(0u, EngineStats(folder).openContexts);
    const std::vector<std::wstring> lines = log.Lines();
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), L"[DEBUG] CAvCoreScannerImpl created"));
    EXPECT_EQ(2, std::count(lines.begin(), lines.end(), L"[DEBUG] CAvCoreScannerImpl destroyed"));
}

TEST_F(Scanners, ScannersOnTwoThreadsGetTheirOwnCallbacks) {
    boost::shared_ptr<CAvCoreScanner> a = NewScanner();
    boost::shared_ptr<CAvCoreScanner> b = NewScanner();
    Recorder ra(*a), rb(*b);
    const std::wstring pa = MakeFile(L"a.bin", "TVE:LOOP 200 1\n");
    const std::wstring pb = MakeFile(L"b.bin", "TVE:LOOP 150 1\n");
    boost::thread ta([&] { a->FScan(pa.c_str()); });
    boost::thread tb([&] { b->FScan(pb.c_str()); });
    ta.join();
    tb.join();
    ASSERT_EQ(200u, ra.objects.size());
    ASSERT_EQ(150u, rb.objects.size());
    for (const std::wstring& name : ra.objects) EXPECT_EQ(0u, name.find(pa));
    for (const std::wstring& name : rb.objects) EXPECT_EQ(0u, name.find(pb));
}

TEST(ScannerContexts, RefusedContextGivesNoScannerAndNoException) {
    CAvCore core(EngineFolder(L"refuse-context").c_str());
    const uint32_t options[8] = {};
    EXPECT_FALSE(core.CreateScanner(0xFFFFFFFF, options));
}

TEST(ScannerContexts, ScannerKeepsTheEngineLoadedAfterTheRootIsGone) {
    const std::wstring folder = EngineFolder(L"test");
    ScratchFolder files;
    WriteFile(files / L"x.exe", "TVE:DETECT 1 Late.Scan\n");
    boost::shared_ptr<CAvCoreScanner> scanner;
    {
        CAvCore core(folder.c_str());
        scanner = core.CreateScanner(0xFFFFFFFF, NoOptions);
    }
    ASSERT_NE(nullptr, LoadedEngine(folder));
    EXPECT_FALSE(scanner->FScan((files / L"x.exe").c_str()));
    scanner.reset();
    EXPECT_EQ(nullptr, LoadedEngine(folder));
}
