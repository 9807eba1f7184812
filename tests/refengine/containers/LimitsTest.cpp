// Each archive limit at its value and one step beyond: at the limit every member is scanned (the
// marker in the last one is found); beyond it the object is not fully scanned and the limit is named.
// Small values keep the archives small; the engine's own values are those of Limits.h. Members are
// stored, so the marked member is named by its digest, which only that member taken out whole has.
#include "refengine/core/Scanner.h"
#include "refengine/object/Hash.h"
#include "tests/refengine/Hex.h"
#include "tests/refengine/TarWriter.h"
#include "tests/refengine/ZipWriter.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>
#include <zlib.h>

using namespace RefEngine;
using TestSupport::Hex;
using TestSupport::ZipWriter;

namespace {

const std::string Marker = "TERVAN-LIMIT-MARKER";

// A ZIP of the given members, stored (so that sizes are what they say) unless deflated.
std::string Zip(const std::vector<std::string>& members, bool deflated = false) {
    ZipWriter zip;
    for (size_t i = 0; i < members.size(); ++i) zip.Add("m" + std::to_string(i), members[i], deflated);
    return zip.Bytes();
}

// count members, the last of them the marker.
std::vector<std::string> Members(size_t count) {
    std::vector<std::string> members(count, "filler");
    members.back() = Marker;
    return members;
}

struct Case {
    Case(const char* limit, const std::string& at, const std::string& over, const char* why, const std::string& marked = std::string(),
         const std::string& overMarked = std::string())
        : limit(limit), at(at), over(over), why(why), marked(marked), overMarked(overMarked) {}
    const char* limit;
    ArchiveLimits limits;  // the engine's own but for the one tested
    std::string at, over;  // archives at the limit and one step beyond it
    const char* why;       // what the report of the one beyond says
    std::string marked;    // the member, last in each, that the base names by its digest (default: the marker)
    std::string overMarked;  // beyond the limit, when it differs
};

std::string Gzip(const std::string& bytes) {
    z_stream stream = {};
    EXPECT_EQ(Z_OK, deflateInit2(&stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY));
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(Z_STREAM_END, deflate(&stream, Z_FINISH));
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

std::string DigestLine(const std::string& member) {
    MemorySource source(reinterpret_cast<const uint8_t*>(member.data()), member.size());
    const std::vector<uint8_t> md5 = Digest(HashKind::Md5, source);
    return Hex(std::string(md5.begin(), md5.end())) + ":" + std::to_string(member.size()) + ":Limit.Marker";
}

}  // namespace

TEST(ArchiveLimits, EachHoldsAtItsValueAndStopsOneStepBeyond) {
    std::vector<Case> cases;

    // ZIP counts its directory before it reads a member; every other format is counted by the sink.
    Case members("members of one archive", Zip(Members(8)), Zip(Members(9)), "over 8 ZIP members");
    members.limits.maxMembers = 8;
    cases.push_back(members);
    Case tarMembers("members of one archive, any format", TestSupport::Tar(Members(8)), TestSupport::Tar(Members(9)), "over 8 TAR members");
    tarMembers.limits.maxMembers = 8;
    cases.push_back(tarMembers);

    // Three archives of three members, and the three archives themselves: twelve.
    Case total("members of one object", "", "", "over 12 archive members in all");
    total.limits.maxTotalMembers = 12;
    const std::string fillers = Zip({"filler", "filler", "filler"});
    total.at = Zip({fillers, fillers, Zip(Members(3))});
    total.over = Zip({fillers, fillers, Zip(Members(4))});
    cases.push_back(total);

    const size_t kib64 = 64u << 10;
    Case size("bytes of one member", Zip({std::string(kib64 - Marker.size(), 'x') + Marker}),
              Zip({std::string(kib64 + 1 - Marker.size(), 'x') + Marker}), "member m0 over the 64 KB limit");
    size.limits.maxMemberSize = kib64;
    size.marked = std::string(kib64 - Marker.size(), 'x') + Marker;
    size.overMarked = std::string(kib64 + 1 - Marker.size(), 'x') + Marker;
    cases.push_back(size);

    // A compressed file's one member is the file itself, read by the reader of what it holds whatever
    // a member's limit: a tarball larger than a member may be, and than memory may hold, is read to
    // its end through a temporary file; a member in it larger than the limit is still named.
    std::vector<std::string> tarMembersOf(4, std::string(kib64 - 1024, 'x'));
    tarMembersOf.push_back(Marker);
    std::vector<std::string> oversized = tarMembersOf;
    oversized[1] = std::string(kib64 + 1, 'x');
    oversized.back() = "filler";
    Case tarball("a compressed file's stream", Gzip(TestSupport::Tar(tarMembersOf)), Gzip(TestSupport::Tar(oversized)),
                 "member1.txt over the 64 KB limit");
    tarball.limits.maxMemberSize = kib64;
    tarball.limits.maxInMemory = 16u << 10;
    cases.push_back(tarball);

    // Beyond it, the second member passes the limit at its last byte: the third is never begun.
    const size_t mib = 1u << 20;
    Case unpacked("bytes unpacked for one object",
                  Zip({std::string(mib, 'x'), std::string(mib - Marker.size(), 'x') + Marker}),
                  Zip({std::string(mib, 'x'), std::string(mib + 1, 'x'), Marker}), "ZIP members unpack to over 2 MiB in all");
    unpacked.limits.maxTotalUnpacked = 2 * mib;
    unpacked.marked = std::string(mib - Marker.size(), 'x') + Marker;
    cases.push_back(unpacked);

    // Deflated, so that no level holds the marker as it stands: the marker three archives deep is
    // scanned, four deep it is not.
    Case depth("archives in archives", Marker, Marker, "archives nested deeper than 3");
    depth.limits.maxDepth = 3;
    for (int level = 0; level < 3; ++level) depth.at = Zip({depth.at}, true);
    for (int level = 0; level < 4; ++level) depth.over = Zip({depth.over}, true);
    cases.push_back(depth);

    // The engine's own ratio (200), above its floor of 1 MiB: zeros deflate far beyond it.
    cases.push_back(Case("growth of one member", Zip({std::string(mib - Marker.size(), '\0') + Marker}, true),
                     Zip({std::string(mib + 1 - Marker.size(), '\0') + Marker}, true), "grows over 200 times",
                     std::string(mib - Marker.size(), '\0') + Marker, std::string(mib + 1 - Marker.size(), '\0') + Marker));

    for (const Case& test : cases) {
        Database db;
        const std::string& marked = test.marked.empty() ? Marker : test.marked;
        ASSERT_TRUE(db.AddLine(".hdb", DigestLine(marked)));
        if (!test.overMarked.empty()) {
            ASSERT_TRUE(db.AddLine(".hdb", DigestLine(test.overMarked)));
        }
        db.Seal();
        const Engine engine(db, Budgets(), test.limits);
        auto scan = [&engine](const std::string& bytes) {
            MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            return engine.Scan(source, L"C:\\limits.zip", nullptr, nullptr);
        };
        const Detection at = scan(test.at), over = scan(test.over);
        EXPECT_EQ("Limit.Marker", at.name) << test.limit << " at the limit: " << at.why;
        EXPECT_TRUE(!over.found && over.incomplete) << test.limit << " beyond the limit";
        EXPECT_NE(std::string::npos, over.why.find(test.why)) << test.limit << ": " << over.why;
    }
}

namespace {

// A sample of testdata\archives (whose text only its format gives) scanned under the limits.
Detection ScanSample(const wchar_t* sample, const ArchiveLimits& limits) {
    Database db;
    EXPECT_TRUE(db.AddLine(".ndb", "Archive.Sample:0:*:" + Hex("TERVAN-ARCHIVE-SAMPLE")));
    db.Seal();
    const std::string bytes = TestSupport::ReadFile(TestSupport::ExecutableFolder() + L"testdata\\archives\\" + sample);
    const Engine engine(db, Budgets(), limits);
    MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return engine.Scan(source, std::wstring(L"C:\\") + sample, nullptr, nullptr);
}

}  // namespace

// The instructions interpreted for the packed programs of one object are counted together: within
// them the sample's unpacking code runs to its end; with ten left, the unpacked program never appears
// (the program is scanned as it stands). The memory an archive declares for unpacking: within the
// limit the xz sample opens (its text is compressed), beyond it (one byte) it is not unpacked and the
// limit is named.
TEST(ArchiveLimits, InstructionsAndDictionaries) {
    ArchiveLimits fewInstructions, smallDictionary;
    fewInstructions.maxInstructions = 10;
    smallDictionary.maxDictionary = 1;
    EXPECT_EQ("Archive.Sample", ScanSample(L"packed-program.bin", ArchiveLimits()).name);
    EXPECT_FALSE(ScanSample(L"packed-program.bin", fewInstructions).found);
    EXPECT_EQ("Archive.Sample", ScanSample(L"xz.bin", ArchiveLimits()).name);
    const Detection over = ScanSample(L"xz.bin", smallDictionary);
    EXPECT_TRUE(!over.found && over.incomplete) << over.name;
    EXPECT_NE(std::string::npos, over.why.find("dictionary")) << over.why;
}
