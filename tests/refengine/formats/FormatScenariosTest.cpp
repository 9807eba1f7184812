// Every format of the registry proves that it opens its own data: a scenario per format whose detection
// can only come from inside it (the signature's bytes, or the digest it names, are nowhere in the outer
// object) and names the member it came from; and every container type of the registry is checked
// against the format it names, through a "Container:" signature. A format added to the registry without
// a scenario here fails the test.
#include "refengine/containers/Archive.h"
#include "refengine/object/Formats.h"
#include "refengine/core/Scanner.h"
#include "refengine/object/Hash.h"
#include "tests/refengine/Hex.h"
#include "tests/refengine/TarWriter.h"
#include "tests/refengine/ZipWriter.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>

using namespace RefEngine;
using TestSupport::Hex;

namespace {

const std::string SampleText = "TERVAN-ARCHIVE-SAMPLE: a harmless text that the tests look for inside archives\n";
const std::string Marker = "TERVAN-ARCHIVE-SAMPLE";

// How a detection proves that it came from inside: by the digest of the sample text, which only the
// text taken out whole has, or, where a format gives its data changed (an unpacked program, a macro's
// source), by a marker that the outer object does not hold as it stands.
enum class Proof { Digest, Marker };

struct Scenario {
    Scenario(FormatId format, const wchar_t* sample, const char* member, Proof proof = Proof::Digest,
             std::string marker = std::string())
        : format(format), sample(sample), member(member), proof(proof), marker(std::move(marker)) {}
    FormatId format;
    const wchar_t* sample;  // in testdata\archives; an Office document is made here
    const char* member;     // the path, under the sample, of the member the detection comes from
    Proof proof;
    std::string marker;     // what a marker proof looks for (empty: the marker of every sample)
    const std::string& Bytes() const { return marker.empty() ? Marker : marker; }
};

const Scenario Scenarios[] = {
    {FormatId::Zip, L"zip-deflate64.bin", "sample.txt"},
    {FormatId::OoxmlWord, L"document.docx", "word\\document.xml", Proof::Marker},
    {FormatId::OoxmlXl, L"book.xlsx", "xl\\sheet.xml", Proof::Marker},
    {FormatId::OoxmlPpt, L"slides.pptx", "ppt\\slide.xml", Proof::Marker},
    // The RAR 5 sample holds the 32-bit numbers k*k - 3k + 1 for k = 1, 2, ...: k = 10 and 11 here.
    {FormatId::Rar, L"rar5.bin", "test.bin", Proof::Marker, std::string("\x47\0\0\0\x59\0\0\0", 8)},
    {FormatId::InstallShield, L"installshield.bin", "Disk1\\sample.txt"},
    {FormatId::InstallShieldStreams, L"installshield-streams.bin", "sample.txt", Proof::Marker},
    {FormatId::AutoIt, L"autoit-ea06.bin", "C:\\sample.txt", Proof::Marker},
    {FormatId::Upx, L"upx-nrv2b.bin", "UPX image", Proof::Marker},
    {FormatId::WWPack, L"wwpack.bin", "unpacked program", Proof::Marker},
    {FormatId::Sis, L"sis.bin", "sample.txt"},
    {FormatId::Flash, L"flash-cws.bin", "movie.swf", Proof::Marker},
    {FormatId::Vba, L"compound-vba.bin", "Module1\\source", Proof::Marker},
    {FormatId::Mail, L"mail-base64.bin", "sample.txt"},
    {FormatId::BinHex, L"binhex.bin", "sample.txt"},
    {FormatId::Tnef, L"tnef.bin", "sample.txt"},
    {FormatId::Pdf, L"pdf.bin", "stream 1"},
    {FormatId::Rtf, L"rtf.bin", "object 1\\\x01Ole10Native\\sample.txt"},
    {FormatId::Html, L"html.bin", "data address 1"},
    {FormatId::SevenZip, L"7z.bin", "sample.txt"},
    {FormatId::Cab, L"cab-mszip.bin", "sample.txt"},
    {FormatId::Arj, L"arj.bin", "sample.txt"},
    {FormatId::Chm, L"chm.bin", "sample.txt"},
    {FormatId::CompoundFile, L"compound-msi.bin", "Sample"},
    {FormatId::Cpio, L"cpio-newc.bin", "sample.txt"},
    {FormatId::Gzip, L"gz.bin", "gz"},
    {FormatId::Bzip2, L"bz2.bin", "bz2"},
    {FormatId::Xz, L"xz.bin", "xz"},
    {FormatId::Lzma, L"lzma.bin", "lzma"},
    {FormatId::Zstd, L"zst.bin", "zst"},
    {FormatId::Z, L"z.bin", "z"},
    {FormatId::Iso9660, L"iso-gz.bin", "iso-gz\\SAMPLE.TXT"},
    {FormatId::Udf, L"udf-gz.bin", "udf-gz\\sample.txt"},
    {FormatId::Lzh, L"lzh.bin", "sample.txt"},
    {FormatId::Szdd, L"szdd.bin", "szdd"},
    {FormatId::Nsis, L"nsis.bin", "$TEMP\\sample.txt"},
    {FormatId::Tar, L"tar-ustar.bin", "folder\\sample.txt"},
    {FormatId::Rpm, L"rpm.bin", "sample-1-1.noarch.cpio.gz\\sample-1-1.noarch.cpio\\.\\folder\\sample.txt"},
    {FormatId::Ar, L"ar.bin", "sample.txt"},
    {FormatId::Xar, L"xar.bin", "sample.txt"},
    {FormatId::Wim, L"wim.bin", "sample.txt"},
    {FormatId::PackedProgram, L"packed-program.bin", "unpacked program", Proof::Marker},
};

// Formats whose scenarios build their objects in memory, in the tests named.
const FormatId ProvenElsewhere[] = {
    FormatId::PowerPoint,        // OfficeDocuments.EmbeddedObjectsAreScannedAsFiles (a deflated slide object)
    FormatId::OlePackage,        // the same (a packaged program found by its digest)
    FormatId::EmbeddedPrograms,  // Archives.EmbeddedProgramsAreMembers (a stored program found by its digest)
    FormatId::UpxElf,            // Upx.TodaysPackedProgramsAreSeenThrough (a Linux program's code)
};

std::string OfficeDocument(const std::string& part) {
    TestSupport::ZipWriter zip;
    zip.Add("[Content_Types].xml", "<Types/>");
    zip.Add(part, "<x>" + SampleText + "</x>");
    return zip.Bytes();
}

// The sample's bytes: a file of testdata\archives, or an Office document.
std::string SampleBytes(const std::wstring& sample) {
    if (sample == L"document.docx") return OfficeDocument("word/document.xml");
    if (sample == L"book.xlsx") return OfficeDocument("xl/sheet.xml");
    if (sample == L"slides.pptx") return OfficeDocument("ppt/slide.xml");
    return TestSupport::ReadFile(TestSupport::ExecutableFolder() + L"testdata\\archives\\" + sample);
}

std::unique_ptr<Engine> EngineOf(Database& db, const std::vector<std::pair<std::string, std::string>>& lines) {
    for (const auto& line : lines) EXPECT_TRUE(db.AddLine(line.first, line.second)) << line.second;
    db.Seal();
    return std::unique_ptr<Engine>(new Engine(db));
}

struct Outcome {
    Detection detection;
    std::vector<std::string> found;  // members found infected, innermost first, as paths under the sample
};

Outcome Scan(const Engine& engine, const std::wstring& sample, const std::string& bytes) {
    Outcome outcome;
    const std::wstring root = L"C:\\" + sample;
    MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    outcome.detection = engine.Scan(source, root, nullptr, [&](const std::wstring& name, const Detection& detection) {
        if (detection.found) outcome.found.push_back(TestSupport::Narrow(name.substr(root.size() + 1)));
    });
    return outcome;
}

}  // namespace

TEST(Formats, EachOpensItsOwnSampleAndNamesTheMember) {
    MemorySource text(reinterpret_cast<const uint8_t*>(SampleText.data()), SampleText.size());
    const std::vector<uint8_t> md5 = Digest(HashKind::Md5, text);
    const std::string digestLine = Hex(std::string(md5.begin(), md5.end())) + ":" + std::to_string(SampleText.size()) + ":Archive.Digest";
    std::set<FormatId> proven(std::begin(ProvenElsewhere), std::end(ProvenElsewhere));
    for (const Scenario& scenario : Scenarios) {
        proven.insert(scenario.format);
        const std::string bytes = SampleBytes(scenario.sample);
        const std::string what = std::string(RecordOf(scenario.format).name) + " (" + TestSupport::Narrow(scenario.sample) + ")";
        const bool byDigest = scenario.proof == Proof::Digest;
        if (!byDigest) {
            EXPECT_EQ(std::string::npos, bytes.find(scenario.Bytes())) << what << " holds its marker as it stands";
        }
        Database db;
        const auto engine = EngineOf(db, {byDigest ? std::make_pair(std::string(".hdb"), digestLine)
                                                   : std::make_pair(std::string(".ndb"), "Archive.Sample:0:*:" + Hex(scenario.Bytes()))});
        const Outcome outcome = Scan(*engine, scenario.sample, bytes);
        EXPECT_TRUE(outcome.detection.found) << what << ": " << outcome.detection.why;
        EXPECT_EQ(scenario.member, outcome.found.empty() ? std::string("(none)") : outcome.found.front()) << what;
    }
    for (const auto& format : ArchiveFormats())
        EXPECT_TRUE(proven.count(format->Id())) << format->Name() << " has no scenario that proves it opens its data";
}

TEST(Formats, EveryContainerTypeNamesTheFormatItsMembersComeFrom) {
    std::set<FormatId> checked;
    for (const Scenario& scenario : Scenarios) {
        const FormatRecord& record = RecordOf(scenario.format);
        if (!*record.containerTypes) continue;
        checked.insert(scenario.format);
        const std::string bytes = SampleBytes(scenario.sample);
        std::istringstream types(record.containerTypes);
        for (std::string type; types >> type;) {
            // Only a member of such a container matches; one of another type does not.
            const std::string other = scenario.format == FormatId::Xar ? "CL_TYPE_ZIP" : "CL_TYPE_XAR";
            Database db;
            const auto engine = EngineOf(db, {{".ldb", "Container.Check;Engine:81-255,Container:" + type + ",Target:0;0;" + Hex(scenario.Bytes())},
                                              {".ldb", "Other.Container;Engine:81-255,Container:" + other + ",Target:0;0;" + Hex(scenario.Bytes())}});
            EXPECT_EQ("Container.Check", Scan(*engine, scenario.sample, bytes).detection.name) << type;
        }
    }
    for (const FormatRecord& record : FormatRecords())
        EXPECT_TRUE(!*record.containerTypes || checked.count(record.id)) << record.containerTypes << " is checked by no scenario";
}

// A format known by its signature is asked before one known by a guess: a TAR whose first member is
// named "m0" begins with bytes that pass for the header of an empty LZMA stream, which must not take
// the archive from the TAR reader.
TEST(Formats, SignaturesComeBeforeGuesses) {
    MemorySource text(reinterpret_cast<const uint8_t*>(SampleText.data()), SampleText.size());
    const std::vector<uint8_t> md5 = Digest(HashKind::Md5, text);
    Database db;
    const auto engine = EngineOf(db, {{".hdb", Hex(std::string(md5.begin(), md5.end())) + ":" + std::to_string(SampleText.size()) +
                                                   ":Archive.Digest"}});
    const Outcome outcome = Scan(*engine, L"tar.tar", TestSupport::Tar({"filler", SampleText}, "m", ""));
    EXPECT_EQ("Archive.Digest", outcome.detection.name) << outcome.detection.why;
    EXPECT_EQ((std::vector<std::string>{"m1"}), outcome.found);
}
