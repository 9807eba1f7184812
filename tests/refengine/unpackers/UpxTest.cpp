// Programs packed by UPX 4 as users meet them (data/upx/make-upx-samples.sh): each method, and
// --brute's other call filter. The signature is a stretch of the original's code holding a call and
// an absolute address: only the image unpacked from where the stub takes it, its calls and addresses
// restored as the stub restores them, holds it.
#include "refengine/core/Scanner.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

using namespace RefEngine;

TEST(Upx, TodaysPackedProgramsAreSeenThrough) {
    const std::wstring folder = TestSupport::ExecutableFolder() + L"testdata\\upx\\";
    std::string line = TestSupport::ReadFile(folder + L"upx4.ndb");
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", line));
    db.Seal();
    const Engine engine(db);
    for (const wchar_t* sample : {L"upx4-nrv2b.exe", L"upx4-nrv2d.exe", L"upx4-nrv2e.exe", L"upx4-lzma.exe", L"upx4-brute.exe"}) {
        const std::string bytes = TestSupport::ReadFile(folder + sample);
        ASSERT_FALSE(bytes.empty());
        MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        const Detection found = engine.Scan(source, std::wstring(L"C:\\") + sample, nullptr, nullptr);
        EXPECT_EQ("Upx4.Code", found.name) << static_cast<char>(sample[5]) << ": " << found.why;
    }
}
