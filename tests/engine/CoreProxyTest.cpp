// Loading the engine library: the failure table, the current-directory rules and the main context.
#include "engine/AvCore.h"
#include "engine/CoreProxy.h"
#include "tests/engine/TestEngineAccess.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <memory>

using namespace AvCore;
using namespace TestSupport;

namespace {

struct LoadFailure {
    std::wstring folder;
    std::string message;
    bool coreException;  // AvCoreException rather than a plain std::runtime_error
};

void ExpectLoadFails(const LoadFailure& failure) {
    SCOPED_TRACE(Narrow(failure.folder));
    ScratchFolder start;
    ASSERT_TRUE(::SetCurrentDirectoryW(start.Path().c_str()));
    try {
        CCoreProxy proxy(failure.folder.c_str());
        ADD_FAILURE() << "loaded";
    } catch (const AvCoreException& e) {
        EXPECT_TRUE(failure.coreException);
        EXPECT_EQ(failure.message, e.what());
    } catch (const std::runtime_error& e) {
        EXPECT_FALSE(failure.coreException);
        EXPECT_EQ(failure.message, e.what());
    }
    EXPECT_EQ(start.Path(), CurrentDirectory());
    EXPECT_EQ(nullptr, LoadedEngine(failure.folder)) << "the library stays loaded";
}

}  // namespace

TEST(EngineLoadFailures, EveryRowOfTheFailureTable) {
    ScratchFolder empty;
    std::vector<LoadFailure> failures = {
        {empty / L"missing", "SetCurrentDirectoryW failed", true},
        {empty.Path(), "Failed to load ScanMain.DLL", false},
        {EngineFolder(L"init-0"), "Failed to init avcore", false},
        {EngineFolder(L"init-65"), "Failed to init avcore", false},
    };
    for (const wchar_t* name : {L"CoreInit", L"CoreFree", L"CoreOptions", L"CoreFScan", L"CoreMScan", L"CoreRScan",
                                L"CoreStopScan"})
        failures.push_back({EngineFolder(std::wstring(L"missing-") + name), "ScanMain.DLL has invalid format", false});
    for (const LoadFailure& failure : failures) ExpectLoadFails(failure);
}

TEST(EngineLoadFailures, EngineRootPassesTheLoaderErrorOn) {
    try {
        CAvCore core(EngineFolder(L"init-65").c_str());
        FAIL() << "loaded";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("Failed to init avcore", e.what());
    }
}

TEST(EngineLoad, BoundaryIdentifiersAreAcceptedAndTheEngineFolderStaysCurrent) {
    for (const wchar_t* variant : {L"init-1", L"init-64"}) {
        const std::wstring folder = EngineFolder(variant);
        {
            CCoreProxy proxy(folder.c_str());
            EXPECT_EQ(folder, CurrentDirectory());
            EXPECT_NE(nullptr, LoadedEngine(folder));
        }
        EXPECT_EQ(nullptr, LoadedEngine(folder)) << "the last owner unloads the library";
    }
}

TEST(EngineLoad, LibraryPathGetsExactlyOneBackslash) {
    EXPECT_EQ(L"C:\\x\\Bases\\ScanMain.DLL", EngineLibraryPath(L"C:\\x\\Bases"));
    EXPECT_EQ(L"C:\\x\\Bases\\ScanMain.DLL", EngineLibraryPath(L"C:\\x\\Bases\\"));
    const std::wstring folder = EngineFolder(L"test") + L"\\";
    CAvCore core(folder.c_str());
    EXPECT_EQ(0x01020304u, core.GetCoreVersion());
}

TEST(EngineLoad, MainContextGetsTheEngineFolderAndNoCallbacks) {
    const std::wstring folder = EngineFolder(L"test");
    LogCapture log;
    {
        CAvCore core(folder.c_str());
        const TveStats stats = EngineStats(folder);
        EXPECT_EQ(folder, stats.mainEngineFolder);
        EXPECT_TRUE(stats.mainPathsShared);
        EXPECT_TRUE(stats.mainCallbacksNull);
        EXPECT_EQ(0u, stats.mainReserved);
        EXPECT_EQ(0u, stats.mainReserved2);
        EXPECT_EQ(folder, stats.currentDirectoryAtInit) << "the engine folder is current during CoreInit";
        EXPECT_EQ(0x01020304u, core.GetCoreVersion());
        EXPECT_EQ(12345u, core.GetRecordCount());
        EXPECT_TRUE(log.Contains(L"[DEBUG] CCoreProxy created"));
        EXPECT_FALSE(log.Contains(L"[DEBUG] CCoreProxy destroyed"));
    }
    EXPECT_TRUE(log.Contains(L"[DEBUG] CCoreProxy destroyed"));
    EXPECT_EQ(nullptr, LoadedEngine(folder));
}
