// Programs packed by UPX 4 as users meet them (data/upx/make-upx-samples.sh): each method, and
// --brute's other call filter; a Linux program by two methods. The signature is a stretch of the original's code holding a call and
// an absolute address: only the image unpacked from where the stub takes it, its calls and addresses
// restored as the stub restores them, holds it.
#include "refengine/core/Scanner.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cwchar>

using namespace RefEngine;

TEST(Upx, TodaysPackedProgramsAreSeenThrough) {
    const std::wstring folder = TestSupport::ExecutableFolder() + L"testdata\\upx\\";
    Database db;
    db.LoadText(TestSupport::ReadFile(folder + L"upx4.ndb"), ".ndb");
    db.Seal();
    ASSERT_EQ(2u, db.Records());
    const Engine engine(db);
    const struct {
        const wchar_t* sample;
        const char* signature;
    } cases[] = {{L"upx4-nrv2b.exe", "Upx4.Code"}, {L"upx4-nrv2d.exe", "Upx4.Code"}, {L"upx4-nrv2e.exe", "Upx4.Code"},
                 {L"upx4-lzma.exe", "Upx4.Code"},  {L"upx4-brute.exe", "Upx4.Code"}, {L"upx4-elf-nrv2b", "Upx4.Elf"},
                 {L"upx4-elf-lzma", "Upx4.Elf"}};
    for (const auto& test : cases) {
        const std::string bytes = TestSupport::ReadFile(folder + test.sample);
        ASSERT_FALSE(bytes.empty());
        MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        const Detection found = engine.Scan(source, std::wstring(L"C:\\") + test.sample, nullptr, nullptr);
        EXPECT_EQ(test.signature, found.name) << std::string(test.sample, test.sample + wcslen(test.sample)) << ": " << found.why;
    }
}
