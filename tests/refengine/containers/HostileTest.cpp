// Files and bases shaped to crash, stall or blind the engine. Large inputs are sparse files or live in
// memory only; none of them needs more than a few MB on disk.
#include "refengine/core/Scanner.h"
#include "tests/refengine/Hex.h"
#include "tests/refengine/ZipWriter.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace RefEngine;
using TestSupport::Hex;
using namespace TestSupport;

namespace {

const std::string Eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

class Hostile : public ::testing::Test {
protected:
    void Base(const std::vector<std::string>& ndbLines) {
        for (const std::string& line : ndbLines) ASSERT_TRUE(db.AddLine(".ndb", line)) << line.substr(0, 80);
        engine.reset(new Engine(db));
    }
    Detection Scan(const std::string& data) {
        MemorySource source(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        return engine->Scan(source, L"x", nullptr, nullptr);
    }
    Detection ScanFile(const std::wstring& path) {
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        FileSource source(file);
        const Detection found = engine->Scan(source, path, nullptr, nullptr);
        ::CloseHandle(file);
        return found;
    }

    Database db;
    std::unique_ptr<Engine> engine;
    ScratchFolder folder;
};

}  // namespace

TEST_F(Hostile, AMemberClaimingAGigabyteIsNeverAllocated) {
    Base({"Eicar:0:*:" + Hex(Eicar.substr(0, 40))});
    // A local header, a sparse gigabyte, then a directory that claims all of it as the packed member.
    ZipWriter zip;
    zip.Add("big.bin", "x", true);
    std::string bytes = zip.Bytes();
    const std::wstring path = folder / L"gigabyte.zip";
    const uint64_t hole = 1ull << 30;
    std::string local = bytes.substr(0, 30 + 7 + 3);  // header, name, a little data
    std::string directory;
    {
        ZipWriter claim;  // the same member, described with a packed size of the whole hole
        claim.Add("big.bin", "x", true);
        std::string entry = claim.Bytes();
        directory = entry.substr(entry.find(std::string("PK\x01\x02", 4)));
    }
    // Packed size field of the directory entry (offset 20), and the end record's directory offset.
    const uint32_t packed = static_cast<uint32_t>(hole);
    for (int i = 0; i < 4; ++i) directory[20 + i] = static_cast<char>(packed >> (8 * i));
    const size_t endAt = directory.find(std::string("PK\x05\x06", 4));
    const uint32_t directoryAt = static_cast<uint32_t>(30 + 7 + hole);
    for (int i = 0; i < 4; ++i) directory[endAt + 16 + i] = static_cast<char>(directoryAt >> (8 * i));
    WriteFile(path, local.substr(0, 37));
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(directoryAt);
    ::SetFilePointerEx(file, at, nullptr, FILE_BEGIN);
    DWORD written = 0;
    ::WriteFile(file, directory.data(), static_cast<DWORD>(directory.size()), &written, nullptr);
    ::CloseHandle(file);
    const Detection found = ScanFile(path);
    EXPECT_FALSE(found.found);
    EXPECT_TRUE(found.incomplete) << "a member that cannot be read is no clean member";
}

TEST_F(Hostile, TensOfThousandsOfSegmentsNeedNoDeepStack) {
    // 26,100 one-byte segments joined by "*", anchored first, and one anchored last.
    std::string hex, body;
    for (int i = 0; i < 26100; ++i) {
        const char c = static_cast<char>('A' + i % 26);
        hex += (i ? "*" : "") + Hex(std::string(1, c));
        body += c;
    }
    Base({"Segments.First:0:*:" + hex, "Segments.Last:0:*:" + hex.substr(0, hex.size() - 2) + Hex("ZZ")});
    EXPECT_EQ("Segments.First", Scan("..." + body + "...").name);
    EXPECT_EQ("Segments.Last", Scan(body.substr(0, body.size() - 1) + "ZZ").name);
    ZipWriter zip;
    zip.Add("inside.bin", body, true);
    EXPECT_EQ("Segments.First", Scan(zip.Bytes()).name) << "inside a ZIP member too";
}

TEST_F(Hostile, AMillionDistinctSignaturesLoad) {
    std::vector<std::string> lines;
    char hex[64];
    for (uint32_t i = 0; i < 1000000; ++i) {
        snprintf(hex, sizeof(hex), "Many.%u:0:*:%08x%08x", i, i * 2654435761u, i);
        lines.push_back(hex);
    }
    Base(lines);
    EXPECT_EQ(1000000u, db.Records());
    uint8_t sample[8];
    const uint32_t pick = 777777, scrambled = pick * 2654435761u;
    for (int i = 0; i < 4; ++i) sample[i] = static_cast<uint8_t>(scrambled >> (24 - 8 * i));
    for (int i = 0; i < 4; ++i) sample[4 + i] = static_cast<uint8_t>(pick >> (24 - 8 * i));
    EXPECT_EQ("Many.777777", Scan("head" + std::string(reinterpret_cast<char*>(sample), 8) + "tail").name);
}

TEST_F(Hostile, ZipBombsThatPassEveryMemberLimitAreRefused) {
    Base({"Eicar:0:*:" + Hex(Eicar.substr(0, 40))});
    // Ten thousand entries for one member of 1 MiB.
    ZipWriter same;
    same.Add("one.bin", std::string(1 << 20, 'A') + Eicar, true);
    for (int i = 0; i < 9999; ++i) same.AddAliasOfFirst("copy" + std::to_string(i) + ".bin");
    const std::string bomb = same.Bytes();
    EXPECT_LT(bomb.size(), 1u << 20);
    Detection found = Scan(bomb);
    EXPECT_TRUE(found.incomplete && !found.found);
    EXPECT_EQ("overlapping ZIP members", found.why);
    // The same, wrapped once more.
    ZipWriter wrapped;
    wrapped.Add("bomb.zip", bomb, true);
    found = Scan(wrapped.Bytes());
    EXPECT_TRUE(found.incomplete);
    EXPECT_EQ("overlapping ZIP members", found.why);
    // A thousand members that claim 32 MiB each and hold a few bytes of junk.
    ZipWriter claims;
    for (int i = 0; i < 1000; ++i) claims.Add("junk" + std::to_string(i), "junk", false, 32u << 20);
    found = Scan(claims.Bytes());
    EXPECT_FALSE(found.found);
    // Nesting within every limit, 42.zip style: totals across the levels end it.
    std::string level = std::string(4 << 20, '\0');
    for (int depth = 0; depth < 3; ++depth) {
        ZipWriter zip;
        for (int i = 0; i < 16; ++i) zip.Add("l" + std::to_string(i), level, true);
        level = zip.Bytes();
    }
    EXPECT_LT(level.size(), 200000u);
    found = Scan(level);
    EXPECT_TRUE(found.incomplete);
    EXPECT_NE(std::string::npos, found.why.find("ZIP")) << found.why;
}

TEST_F(Hostile, SignaturesThatShareAnAnchorCannotStallAScan) {
    std::vector<std::string> lines;
    for (int i = 0; i < 10000; ++i)
        lines.push_back("Shared." + std::to_string(i) + ":0:*:" + Hex("ABCDE") + "*" +
                        Hex(std::string{static_cast<char>(0x80 | (i >> 7)), static_cast<char>(0x80 | (i & 0x7F))}));
    lines.push_back("Far.Apart:0:*:aa{100000}bb");
    Base(lines);
    std::string data;
    while (data.size() < (1u << 20)) data += "ABCDE";
    const Detection shared = Scan(data);
    EXPECT_FALSE(shared.found);
    EXPECT_TRUE(shared.incomplete) << "cut short by its work limit, and said so";
    EXPECT_FALSE(Scan(std::string(1 << 20, '\xAA')).found) << "far-apart bytes cost one step each";
}

TEST_F(Hostile, ARepeatedAnchorHidesNoOtherSignature) {
    Base({"Tervan.Test.Appended:0:*:" + Hex("TERVAN-APPENDED-TEST-BODY"), "Other:0:*:" + Hex("TERVAN-APPENDED-")  + "{2}" + Hex("ZZZZ")});
    std::string data;
    data.reserve(32u << 20);
    for (int i = 0; i < 2000001; ++i) data += "TERVAN-APPENDED-";
    data += "TERVAN-APPENDED-TEST-BODY";
    EXPECT_EQ("Tervan.Test.Appended", Scan(data).name);
}

TEST_F(Hostile, ArchivesAsRealToolsWriteThem) {
    Base({"Eicar:0:*:" + Hex(Eicar.substr(0, 40))});
    auto zipOf = [](const std::string& name, const std::string& data, uint32_t declared = 0) {
        ZipWriter zip;
        zip.Add("first.txt", "harmless", true);
        zip.Add(name, data, true, declared);
        return zip;
    };
    ZipWriter::Layout layout;
    layout.stub = "MZ a self-extractor's program " + std::string(5000, 'p');
    EXPECT_TRUE(Scan(zipOf("e.com", Eicar).Bytes(layout)).found) << "data before the archive";
    layout.adjustOffsets = false;
    EXPECT_TRUE(Scan(zipOf("e.com", Eicar).Bytes(layout)).found) << "offsets from the archive's start";
    ZipWriter::Layout zip64;
    zip64.zip64 = true;
    EXPECT_TRUE(Scan(zipOf("e.com", Eicar).Bytes(zip64)).found) << "ZIP64 records";
    for (int count : {1, 0}) {
        ZipWriter::Layout wrongCount;
        wrongCount.count = count;
        EXPECT_TRUE(Scan(zipOf("e.com", Eicar).Bytes(wrongCount)).found) << "the end record says " << count;
    }
    EXPECT_TRUE(Scan(zipOf("", Eicar).Bytes()).found) << "an empty name";
    EXPECT_TRUE(Scan(zipOf("folder/", Eicar).Bytes()).found) << "a folder's name with data";
    EXPECT_TRUE(Scan(zipOf("e.com", Eicar, static_cast<uint32_t>(Eicar.size() + 1)).Bytes()).found) << "a size off by one";
}

TEST_F(Hostile, BaseFilesInEveryEncodingAndLineEnd) {
    const std::string lines[] = {"First:0:*:" + Hex("first-body"), "Second:0:*:" + Hex("second-body")};
    auto load = [&](const std::string& bytes) {
        Database base;
        base.LoadText(bytes, ".ndb");
        return base.Records();
    };
    EXPECT_EQ(2u, load("\xEF\xBB\xBF" + lines[0] + "\n" + lines[1] + "\n")) << "a byte-order mark";
    EXPECT_EQ(2u, load(lines[0] + "\r" + lines[1])) << "CR line ends";
    EXPECT_EQ(2u, load(lines[0] + "\r\n" + lines[1] + "\r\n"));
    std::string utf16 = "\xFF\xFE";
    for (char c : lines[0] + "\r\n" + lines[1]) utf16 += {c, '\0'};
    EXPECT_EQ(2u, load(utf16)) << "UTF-16 with its mark";

    // A line of 400 MB, made as it is read: skipped and counted, and reading goes on.
    Database base;
    const uint64_t longLine = 400ull << 20;
    uint64_t made = 0;
    const std::string after = "\n" + lines[1] + "\n";
    size_t afterAt = 0;
    ForEachLine(
        [&](char* out, size_t size) {
            size_t n = 0;
            for (; n < size && made < longLine; ++n, ++made) out[n] = 'a';
            for (; n < size && afterAt < after.size(); ++n) out[n] = after[afterAt++];
            return n;
        },
        Database::MaxLineLength, [&](const std::string& line) { base.AddLine(".ndb", line); }, base.overlong);
    EXPECT_EQ(1u, base.overlong);
    EXPECT_EQ(1u, base.Records());
}
