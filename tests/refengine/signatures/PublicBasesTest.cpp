// Public signature bases: containers, PE-aware signatures, hash lists, allow and ignore lists.
#include "refengine/signatures/Database.h"
#include "refengine/object/Hash.h"
#include "refengine/core/Scanner.h"
#include "tests/refengine/ZipWriter.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>

using namespace RefEngine;
using namespace std::string_literals;
using TestSupport::ScratchFolder;
using TestSupport::WriteFile;

namespace {

std::string Tar(const std::vector<std::pair<std::string, std::string>>& files) {
    std::string tar;
    for (const auto& file : files) {
        char header[512] = {};
        std::strncpy(header, file.first.c_str(), 99);
        std::snprintf(header + 124, 12, "%011o", static_cast<unsigned>(file.second.size()));
        header[156] = '0';
        tar.append(header, 512);
        tar += file.second;
        tar.append((512 - file.second.size() % 512) % 512, '\0');
    }
    return tar + std::string(1024, '\0');
}

std::string Gzip(const std::string& data) { return TestSupport::Deflate(data, 16 + MAX_WBITS); }

std::string HexOf(const std::vector<uint8_t>& bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        char pair[3];
        std::snprintf(pair, 3, "%02x", b);
        text += pair;
    }
    return text;
}

std::string Md5(const std::string& data) {
    MemorySource source(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return HexOf(Digest(HashKind::Md5, source));
}

// The header, then the archive; md5 as given (empty: the archive's own).
std::string Container(const std::string& archive, std::string md5 = std::string(), int version = 42) {
    if (md5.empty()) md5 = Md5(archive);
    std::string header = "ClamAV-VDB:07 Dec 2026 10-00 +0000:" + std::to_string(version) + ":3:90:" + md5 + ":AbCdSig:builder:1796637600";
    header.resize(512, ' ');
    return header + archive;
}

std::string Hex(const std::string& text) {
    std::vector<uint8_t> bytes(text.begin(), text.end());
    return HexOf(bytes);
}

std::string Scan(const Database& database, const std::string& data) {
    Engine engine(database);
    MemorySource source(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    const Detection found = engine.Scan(source, L"x", nullptr, nullptr);
    return found.found ? found.name : std::string();
}

void Put32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A small PE file: two sections of 0x200 bytes at 0x200 and 0x400, the entry point 0x10 into the first.
std::string PeFile(const std::string& code, const std::string& data) {
    std::string pe(0x600, '\0');
    pe[0] = 'M';
    pe[1] = 'Z';
    Put32(pe, 0x3C, 0x40);
    std::memcpy(&pe[0x40], "PE\0\0", 4);
    pe[0x44] = 0x4C;
    pe[0x45] = 0x01;
    pe[0x46] = 2;              // sections
    pe[0x54] = static_cast<char>(0xE0);  // optional header size
    pe[0x58] = 0x0B;
    pe[0x59] = 0x01;           // PE32
    Put32(pe, 0x58 + 16, 0x1010);
    const size_t table = 0x58 + 0xE0;
    for (int i = 0; i < 2; ++i) {
        const size_t s = table + i * 40;
        Put32(pe, s + 8, 0x200);
        Put32(pe, s + 12, 0x1000 * (i + 1));
        Put32(pe, s + 16, 0x200);
        Put32(pe, s + 20, 0x200 * (i + 1));
    }
    pe.replace(0x210, code.size(), code);
    pe.replace(0x400, data.size(), data);
    return pe;
}

}  // namespace

TEST(PublicBases, ContainersAreCheckedThenEveryBaseInsideIsRead) {
    const std::string archive = Gzip(Tar({{"COPYING", "license text"},
                                          {"x.ndb", "In.Cvd:0:*:" + Hex("inside-a-cvd") + "\nDropped:0:*:" + Hex("dropped!") + "\n"},
                                          {"x.hdb", Md5("hashed file") + ":11:Hashed.In.Cvd\n"},
                                          {"x.ign2", "Dropped\n"},
                                          {"x.cdb", "whatever\n"},
                                          {"x.info", "x.ndb:2\n"}}));
    Database good;
    const std::string bytes = Container(archive);
    MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    good.LoadContainer(source, ".cvd", "test.cvd");
    good.Seal();
    EXPECT_EQ(2u, good.loaded[".ndb"]);
    EXPECT_EQ(1u, good.loaded[".hdb"]);
    EXPECT_EQ(1u, good.skippedFiles[".cdb"]);
    EXPECT_EQ(1u, good.skippedFiles[".info"]);
    EXPECT_EQ(1u, good.skippedFiles["(no type)"]);
    ASSERT_FALSE(good.notices.empty());
    EXPECT_NE(std::string::npos, good.notices[0].find("digital signature not verified")) << good.notices[0];
    EXPECT_EQ("In.Cvd", Scan(good, "... inside-a-cvd ..."));
    EXPECT_EQ("Hashed.In.Cvd", Scan(good, "hashed file"));
    EXPECT_EQ("", Scan(good, "dropped!")) << "an ignored signature";

    // A checksum that does not fit refuses the whole container; a .cld is read without one, as a plain tar.
    Database bad;
    const std::string damaged = Container(archive, std::string(32, '0'));
    MemorySource damagedSource(reinterpret_cast<const uint8_t*>(damaged.data()), damaged.size());
    bad.LoadContainer(damagedSource, ".cvd", "bad.cvd");
    EXPECT_EQ(0u, bad.Records());
    ASSERT_EQ(1u, bad.notices.size());
    EXPECT_NE(std::string::npos, bad.notices[0].find("checksum mismatch")) << bad.notices[0];
    Database local;
    const std::string cld = Container(Tar({{"y.ndb", "In.Cld:0:*:" + Hex("inside-a-cld") + "\n"}}), std::string(32, '0'));
    MemorySource cldSource(reinterpret_cast<const uint8_t*>(cld.data()), cld.size());
    local.LoadContainer(cldSource, ".cld", "daily.cld");
    local.Seal();
    EXPECT_EQ("In.Cld", Scan(local, "inside-a-cld"));

    // In a folder, of daily.cvd and daily.cld only the newer is read.
    ScratchFolder folder;
    WriteFile(folder / L"daily.cvd", Container(Gzip(Tar({{"d.ndb", "Old.Daily:0:*:" + Hex("old-daily") + "\n"}})), "", 41));
    WriteFile(folder / L"daily.cld", Container(Tar({{"d.ndb", "New.Daily:0:*:" + Hex("new-daily") + "\n"}}), "", 43));
    Database both;
    both.LoadFolder(folder.Path());
    EXPECT_EQ("New.Daily", Scan(both, "new-daily"));
    EXPECT_EQ("", Scan(both, "old-daily"));
}

TEST(PublicBases, PeOffsetsSectionHashesAndTheAllowList) {
    const std::string code = "\x55\x8B\xEC" "entry-code";
    const std::string data = "section-two-data";
    const std::string pe = PeFile(code, data);
    const std::string sectionOne = PeFile("hashed", "").substr(0x200, 0x200);
    Database db;
    EXPECT_TRUE(db.AddLine(".ndb", "At.Entry:1:EP+0:" + Hex(code)));
    EXPECT_TRUE(db.AddLine(".ndb", "In.Section.One:1:S1+0:" + Hex(data)));
    EXPECT_TRUE(db.AddLine(".mdb", "512:" + Md5(sectionOne) + ":Section.Hash"));
    db.Seal();
    EXPECT_EQ("At.Entry", Scan(db, pe));
    EXPECT_EQ("", Scan(db, std::string(0x210, 'x') + code)) << "not a PE file: no entry point";
    EXPECT_EQ("In.Section.One", Scan(db, PeFile("other", data)));
    EXPECT_EQ("Section.Hash", Scan(db, PeFile("hashed", "")));
    EXPECT_EQ("", Scan(db, PeFile("hashed!", ""))) << "neither the section's bytes nor its hash";
    std::string truncated = PeFile("hashed", "");
    truncated.resize(0x300);
    EXPECT_EQ("", Scan(db, truncated)) << "a section cut short has no hash of its stated size";

    Database allowedToo;
    allowedToo.AddLine(".ndb", "At.Entry:1:EP+0:" + Hex(code));
    allowedToo.AddLine(".fp", Md5(pe) + ":" + std::to_string(pe.size()) + ":Known.Good");
    allowedToo.Seal();
    EXPECT_EQ("", Scan(allowedToo, pe)) << "an allowed file is clean";
    EXPECT_EQ("At.Entry", Scan(allowedToo, pe + "x"));
}

TEST(PublicBases, LogicalSignaturesCountTheirSubsignatures) {
    Database db;
    EXPECT_TRUE(db.AddLine(".ldb", "Both;Target:0;0&1;" + Hex("first-part") + ";" + Hex("second-part")));
    EXPECT_TRUE(db.AddLine(".ldb", "Thrice;Target:0;0>2;" + Hex("again!")));
    EXPECT_TRUE(db.AddLine(".ldb", "Exactly.Two.Distinct;Target:0;(0|1|2)=2,2;" + Hex("alpha") + ";" + Hex("beta") + ";" + Hex("gamma")));
    EXPECT_TRUE(db.AddLine(".ldb", "Modifiers;Engine:51-255,Target:0,FileSize:10-100;0&1;" + Hex("MiXeD-") + "::i;" + Hex("wide") + "::wa"));
    EXPECT_TRUE(db.AddLine(".ldb", "Pe.Entry;Engine:51-255,Target:1;0;EP+0:" + Hex("\x55\x8B\xEC" "entry")));
    EXPECT_TRUE(db.AddLine(".ldb", "Pcre;Target:0;0&1;" + Hex("trigger") + ";0/evil\\d+/i"));
    EXPECT_TRUE(db.AddLine(".ldb", "Pcre.Every;Target:0;0&1>1;" + Hex("marker") + ";0/x\\d/g"));
    EXPECT_TRUE(db.AddLine(".ldb", "Pcre.Runaway;Target:0;0&1;" + Hex("runaway") + ";0/(a+)+$/"));
    EXPECT_TRUE(db.AddLine(".ldb", "Pcre.Deep;Target:0;0&1;" + Hex("deep") + ";0/(a|b)*c/"));
    EXPECT_FALSE(db.AddLine(".ldb", "Pcre.Flag;Target:0;0&1;" + Hex("trigger") + ";0/evil/Q"));
    EXPECT_FALSE(db.AddLine(".ldb", "Future;Engine:300-400,Target:0;0;" + Hex("future")));
    EXPECT_FALSE(db.AddLine(".ldb", "Broken;Target:0;0&2;" + Hex("a-b-c") + ";" + Hex("d-e-f")));
    EXPECT_EQ(1u, db.skippedLines[".ldb: regular expression flag Q"]);
    db.Seal();

    EXPECT_EQ("Pcre", Scan(db, "..trigger.. EVIL42"));
    EXPECT_EQ("", Scan(db, "..trigger.. evil"));
    EXPECT_EQ("Pcre.Every", Scan(db, "marker x1 x2"));
    EXPECT_EQ("", Scan(db, "marker x1"));
    // A pattern that backtracks without end stops at its limit: the object is not called clean.
    const std::string text = "runaway " + std::string(40, 'a') + "!";
    MemorySource runaway(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    const Detection cut = Engine(db).Scan(runaway, L"C:\\runaway", nullptr, nullptr);
    EXPECT_TRUE(!cut.found && cut.incomplete) << cut.why;
    EXPECT_EQ("work limit of Pcre.Runaway", cut.why);
    // A search deeper than the compiled pattern's own stack holds is finished by the interpreter.
    std::string deep = "deep ";
    for (int i = 0; i < 4000; ++i) deep += i % 2 ? 'b' : 'a';
    EXPECT_EQ("Pcre.Deep", Scan(db, deep + "c"));
    // Many patterns behind one common trigger (as macro signatures behind a module's first line): each
    // has steps of its own, none is cut for the others'.
    Database many;
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(many.AddLine(".ldb", "Many." + std::to_string(i) + ";Target:0;0&1;" + Hex("common-trigger") + ";0/absent" +
                                             std::to_string(i) + "/"));
    many.Seal();
    MemorySource common(reinterpret_cast<const uint8_t*>("common-trigger and text"), 23);
    const Detection none = Engine(many).Scan(common, L"C:\\common", nullptr, nullptr);
    EXPECT_FALSE(none.found || none.incomplete) << none.why;
    EXPECT_EQ("Both", Scan(db, "..second-part..first-part.."));
    EXPECT_EQ("", Scan(db, "..first-part..first-part.."));
    EXPECT_EQ("Thrice", Scan(db, "again! again! again!"));
    EXPECT_EQ("", Scan(db, "again! again!"));
    EXPECT_EQ("Exactly.Two.Distinct", Scan(db, "alpha beta"));
    EXPECT_EQ("", Scan(db, "alpha alpha")) << "two matches of one";
    EXPECT_EQ("", Scan(db, "alpha beta gamma")) << "three";
    EXPECT_EQ("Modifiers", Scan(db, "..mixed-..w\0i\0d\0e\0.."s));
    EXPECT_EQ("Modifiers", Scan(db, "..MIXED-..wide.."));
    EXPECT_EQ("", Scan(db, "..MIXED-..wide.." + std::string(100, '.'))) << "larger than its file size range";
    EXPECT_EQ("Pe.Entry", Scan(db, PeFile("\x55\x8B\xEC" "entry", "")));
    EXPECT_EQ("", Scan(db, PeFile("--\x55\x8B\xEC" "entry", "")));
}

// Junk in every parser: lines of every type, containers and PE headers, mutated from valid ones.
TEST(PublicBases, JunkNeitherCrashesNorHangsAnyParser) {
    std::mt19937 random(20261207);
    auto mutate = [&random](std::string text, size_t from, size_t to) {
        const int changes = 1 + random() % 6;
        for (int i = 0; i < changes && to > from; ++i) {
            const size_t at = from + random() % std::min(to - from, text.size() - from);
            switch (random() % 4) {
            case 0: text[at] = static_cast<char>(random()); break;
            case 1: text[at] = ":;,|*?{}[]()!-0123456789abcdefEPSL+/#$"[random() % 38]; break;
            case 2: text.erase(at, 1 + random() % 8); break;
            default: text.insert(at, text.substr(at, 1 + random() % 16)); break;
            }
            if (text.size() <= from) break;
        }
        return text;
    };
    const std::vector<std::pair<std::string, std::string>> valid = {
        {".ndb", "N:1:EP+10,20:aabb??cc{2-4}dd(ee|ff)!(01|02)[1-3]99*4142(B)"},
        {".ldb", "L;Engine:51-255,Target:1,FileSize:10-2000,NumberOfSections:1-3;(0&1)|2>1,2;EP+0:aabbccdd;4142434445::iwaf;S0+4:61626364"},
        {".hdb", "44d88612fea8a8f36de82e1278abb02f:68:H"},
        {".hsb", "3395856ce81f2b7382dee72602f798b642f14140:*:S:73"},
        {".mdb", "512:44d88612fea8a8f36de82e1278abb02f:M"},
        {".msb", "*:3395856ce81f2b7382dee72602f798b642f14140:M:73"},
        {".fp", "44d88612fea8a8f36de82e1278abb02f:68:F"},
        {".ign", "daily.ndb:12:N"},
        {".ign2", "N:44d88612fea8a8f36de82e1278abb02f"},
        {".tvb", "T|EOF-10|aabb??cc|truncate"},
    };
    Database db;
    for (int round = 0; round < 3000; ++round)
        for (const auto& line : valid) db.AddLine(line.first, mutate(line.second, 0, line.second.size()));
    db.Seal();
    const std::string pe = PeFile("\x55\x8B\xEC" "entry", "data");
    for (int round = 0; round < 3000; ++round) Scan(db, mutate(pe, 0, 0x200));

    const std::string archive = Tar({{"a.ndb", "In:0:*:" + Hex("inside") + "\n"}, {"b.ldb", valid[1].second + "\n"}});
    for (const bool compressed : {false, true}) {
        const std::string bytes = Container(compressed ? Gzip(archive) : archive);
        for (int round = 0; round < 500; ++round) {
            Database base;
            const std::string junk = mutate(bytes, 0, bytes.size());
            MemorySource source(reinterpret_cast<const uint8_t*>(junk.data()), junk.size());
            base.LoadContainer(source, ".cld", "junk.cld");
        }
    }
}
