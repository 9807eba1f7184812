// Archives and compressed files of every family, made by Debian's own tools (data/archives; RAR from
// libarchive's test data): each member found where it lies, and honest results where it cannot be
// unpacked (encrypted, cut short, beyond a limit).
#include "refengine/object/AllocationCap.h"
#include "refengine/object/Hash.h"
#include "refengine/core/Scanner.h"
#include "tests/refengine/Hex.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <zlib.h>

using namespace RefEngine;
using TestSupport::Hex;

namespace {

class Archives : public ::testing::Test {
protected:
    void SetUp() override {
        // The RAR 5 sample holds the 32-bit numbers k*k - 3k + 1 for k = 1, 2, ...: k = 10 to 13 here.
        std::string numbers;
        for (int k = 10; k < 14; ++k)
            for (int i = 0; i < 4; ++i) numbers += static_cast<char>(((k * k - 3 * k + 1) >> (8 * i)) & 0xFF);
        for (const std::string& line : {"Archive.Sample:0:*:" + Hex("TERVAN-ARCHIVE-SAMPLE"), "Rar4.Sample:0:*:" + Hex("test text document"),
                                        "Rar5.Sample:0:*:" + Hex(numbers)})
            ASSERT_TRUE(db.AddLine(".ndb", line));
        db.Seal();
        engine.reset(new Engine(db));
    }

    Detection Scan(const std::wstring& name, const Engine::MemberCallback& member = nullptr) {
        const std::wstring path = TestSupport::ExecutableFolder() + L"testdata\\archives\\" + name;
        HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file) << TestSupport::Narrow(path);
        FileSource source(file);
        const Detection found = engine->Scan(source, path, nullptr, member);
        ::CloseHandle(file);
        return found;
    }

    Database db;
    std::unique_ptr<Engine> engine;
};

}  // namespace

TEST_F(Archives, EveryFamilyIsOpened) {
    const std::wstring honest[] = {L"7z-encrypted.bin", L"7z-encrypted-listing.bin", L"7z-truncated.bin", L"7z-bomb.bin", L"rar4-encrypted.bin"};
    WIN32_FIND_DATAW found;
    HANDLE find = ::FindFirstFileW((TestSupport::ExecutableFolder() + L"testdata\\archives\\*.bin").c_str(), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, find);
    int samples = 0;
    do {
        const std::wstring name = found.cFileName;
        if (std::find(std::begin(honest), std::end(honest), name) != std::end(honest)) continue;
        const std::string expected = name.compare(0, 4, L"rar4") == 0 ? "Rar4.Sample" : name.compare(0, 4, L"rar5") == 0 ? "Rar5.Sample" : "Archive.Sample";
        const Detection detection = Scan(name);
        EXPECT_EQ(expected, detection.name) << TestSupport::Narrow(name) << ": " << detection.why;
        ++samples;
    } while (::FindNextFileW(find, &found));
    ::FindClose(find);
    EXPECT_GE(samples, 30);
}

TEST(ArchiveAllocations, NoneBeyondTheBoundWhileAnArchiveIsRead) {
    ArchiveAllocations reading;
    EXPECT_EQ(nullptr, std::malloc(MaxAllocation + 1));
    EXPECT_EQ(nullptr, std::calloc(MaxAllocation / 16 + 1, 16));
    EXPECT_THROW(::operator delete[](::operator new[](MaxAllocation + 1)), std::bad_alloc);
}

// A setup program's files are members of their own, named by their path on the setup disk: the one
// a digest names is found.
TEST_F(Archives, InstallShieldFilesAreMembers) {
    const std::string readme = "Read me first.\r\n";
    MemorySource readmeSource(reinterpret_cast<const uint8_t*>(readme.data()), readme.size());
    const std::vector<uint8_t> md5 = Digest(HashKind::Md5, readmeSource);
    Database digests;  // the sample's text is no signature here: only the member's digest is
    ASSERT_TRUE(digests.AddLine(".hdb", Hex(std::string(md5.begin(), md5.end())) + ":" + std::to_string(readme.size()) + ":Readme.Digest"));
    digests.Seal();
    engine.reset(new Engine(digests));
    std::vector<std::string> members;
    const Detection found = Scan(L"installshield.bin", [&](const std::wstring& name, const Detection&) {
        members.push_back(TestSupport::Narrow(name.substr(name.rfind(L".bin\\") + 5)));
    });
    EXPECT_EQ("Readme.Digest", found.name);
    EXPECT_EQ((std::vector<std::string>{"Disk1\\readme.txt", "Disk1\\sample.txt"}), members);
}

// What programs carry after their image: the files of InstallShield's own cabinet set are members
// under the cabinet that holds them (bytes that two entries share scanned once), the streams of its
// launcher are deciphered and inflated, so are the files of a compiled AutoIt script (after its image
// or in its resources); a file that cannot be unpacked keeps the program from being called clean.
TEST_F(Archives, FilesProgramsCarryAreOpened) {
    struct Case {
        const wchar_t* sample;
        std::vector<std::string> members;
        const char* leftOut;
    };
    const Case cases[] = {
        {L"installshield-cab.bin", {"Disk1\\data1.cab", "Disk1\\data1.hdr", "Disk1\\data1.cab\\folder\\sample.txt"}, "obfuscated"},
        {L"installshield-streams.bin", {"sample.txt"}, "unknown kind"},
        {L"autoit-ea05.bin", {">>>AUTOIT SCRIPT<<<", "C:\\sample.txt", "C:\\cut.bin"}, "AutoIt file damaged"},
        {L"autoit-ea06.bin", {">>>AUTOIT SCRIPT<<<", "C:\\sample.txt", "C:\\cut.bin"}, "AutoIt file damaged"},
        {L"autoit-resource.bin", {">>>AUTOIT SCRIPT<<<", "C:\\sample.txt", "C:\\cut.bin"}, "AutoIt file damaged"},
        {L"autoit-resource-x64.bin", {">>>AUTOIT SCRIPT<<<", "C:\\sample.txt", "C:\\cut.bin"}, "AutoIt file damaged"},
    };
    Database other;  // nothing to find: what was left out shows
    ASSERT_TRUE(other.AddLine(".ndb", "Other.Sample:0:*:" + Hex("NOT IN THE SAMPLE")));
    other.Seal();
    const Engine withOther(other);
    for (const Case& test : cases) {
        std::vector<std::string> members;
        const Detection found = Scan(test.sample, [&](const std::wstring& name, const Detection&) {
            members.push_back(TestSupport::Narrow(name.substr(name.rfind(L".bin\\") + 5)));
        });
        EXPECT_EQ("Archive.Sample", found.name);
        EXPECT_EQ(test.members, members);
        const std::wstring path = TestSupport::ExecutableFolder() + L"testdata\\archives\\" + test.sample;
        const std::string bytes = TestSupport::ReadFile(path);
        MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
        const Detection clean = withOther.Scan(source, path, nullptr, nullptr);
        EXPECT_TRUE(clean.incomplete && !clean.found) << TestSupport::Narrow(test.sample);
        EXPECT_NE(std::string::npos, clean.why.find(test.leftOut)) << clean.why;
    }
}

// A program stored as it stands inside another object is scanned as itself, as far as its sections go.
TEST_F(Archives, EmbeddedProgramsAreMembers) {
    const std::string setup = TestSupport::ReadFile(TestSupport::ExecutableFolder() + L"testdata\\archives\\installshield.bin");
    const std::string program = setup.substr(0, 0x400);  // the setup's image: headers and one section
    MemorySource programSource(reinterpret_cast<const uint8_t*>(program.data()), program.size());
    const std::vector<uint8_t> md5 = Digest(HashKind::Md5, programSource);
    Database digests;
    ASSERT_TRUE(digests.AddLine(".hdb", Hex(std::string(md5.begin(), md5.end())) + ":1024:Program.Digest"));
    digests.Seal();
    const Engine withDigest(digests);
    for (const std::string& carrier : {"data before it " + program + " and after it", "MZ?" + program}) {
        MemorySource source(reinterpret_cast<const uint8_t*>(carrier.data()), carrier.size());
        EXPECT_EQ("Program.Digest", withDigest.Scan(source, L"C:\\carrier", nullptr, nullptr).name);
    }
}

TEST_F(Archives, WhatCannotBeUnpackedIsNeverClean) {
    for (const wchar_t* name : {L"7z-encrypted.bin", L"7z-encrypted-listing.bin", L"rar4-encrypted.bin"}) {
        const Detection detection = Scan(name);
        EXPECT_FALSE(detection.found);
        EXPECT_TRUE(detection.incomplete) << TestSupport::Narrow(name);
        EXPECT_NE(std::string::npos, detection.why.find("encrypted")) << TestSupport::Narrow(name) << ": " << detection.why;
    }
    const Detection cut = Scan(L"7z-truncated.bin");
    EXPECT_TRUE(cut.incomplete && !cut.found) << cut.why;
    // 64 MiB of zeros and then the sample: beyond what a member may unpack, so not clean either.
    const Detection bomb = Scan(L"7z-bomb.bin");
    EXPECT_FALSE(bomb.found);
    EXPECT_TRUE(bomb.incomplete);
    EXPECT_NE(std::string::npos, bomb.why.find("7z")) << bomb.why;
}

namespace {

std::string Le(uint32_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
}

// An OLE package's stream: the file `data`, labelled `label`, as Office embeds a dropped file.
std::string OlePackage(const std::string& label, const std::string& data) {
    const std::string temporary = "C:\\Temp\\" + label + '\0';
    const std::string body = Le(2, 2) + label + '\0' + "C:\\" + label + '\0' + Le(0, 2) + Le(3, 2) +
                             Le(static_cast<uint32_t>(temporary.size()), 4) + temporary + Le(static_cast<uint32_t>(data.size()), 4) + data;
    return Le(static_cast<uint32_t>(body.size()), 4) + body;
}

// A "PowerPoint Document" stream: a container holding a text atom and an embedded object, deflated.
std::string PowerPointStream(const std::string& object) {
    uLongf packedSize = compressBound(static_cast<uLong>(object.size()));
    std::string packed(packedSize, '\0');
    compress2(reinterpret_cast<Bytef*>(&packed[0]), &packedSize, reinterpret_cast<const Bytef*>(object.data()),
              static_cast<uLong>(object.size()), 9);
    packed.resize(packedSize);
    const std::string atom = Le(0x0000, 2) + Le(0x0FA8, 2) + Le(5, 4) + "Slide";
    const std::string container = Le(0x000F, 2) + Le(0x03E8, 2) + Le(static_cast<uint32_t>(atom.size()), 4) + atom;
    const std::string embedded = Le(0x0010, 2) + Le(0x1011, 2) + Le(static_cast<uint32_t>(packed.size() + 4), 4) +
                                 Le(static_cast<uint32_t>(object.size()), 4) + packed;
    return container + embedded;
}

Detection ScanBytes(const Engine& engine, const std::string& bytes, const std::wstring& name) {
    MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return engine.Scan(source, name, nullptr, nullptr);
}

}  // namespace

TEST(OfficeDocuments, EmbeddedObjectsAreScannedAsFiles) {
    // A packaged program that only its digest names: found only when the package is unwrapped.
    const std::string program = "MZ: a packaged program that only its digest names";
    MemorySource programSource(reinterpret_cast<const uint8_t*>(program.data()), program.size());
    const std::vector<uint8_t> md5 = Digest(HashKind::Md5, programSource);
    Database db;
    ASSERT_TRUE(db.AddLine(".hdb", Hex(std::string(md5.begin(), md5.end())) + ":" + std::to_string(program.size()) + ":Packaged.Program"));
    ASSERT_TRUE(db.AddLine(".ndb", "Archive.Sample:0:*:" + Hex("TERVAN-ARCHIVE-SAMPLE")));
    db.Seal();
    const Engine engine(db);
    const Detection packaged = ScanBytes(engine, OlePackage("tool.exe", program), L"C:\\a.doc\\ObjectPool\\_1\\[1]Ole10Native");
    EXPECT_EQ("Packaged.Program", packaged.name) << packaged.why;

    const std::string slides = PowerPointStream("embedded in a slide: TERVAN-ARCHIVE-SAMPLE");
    const Detection embedded = ScanBytes(engine, slides, L"C:\\a.ppt\\PowerPoint Document");
    EXPECT_EQ("Archive.Sample", embedded.name) << embedded.why;
    // Cut inside the deflated object (in the sample's text): what came out is no proof of a clean object.
    const Detection cut = ScanBytes(engine, slides.substr(0, slides.size() - 12), L"C:\\a.ppt\\PowerPoint Document");
    EXPECT_TRUE(!cut.found && cut.incomplete) << cut.why;
    EXPECT_EQ("damaged PowerPoint object", cut.why);
}

namespace {

std::string Base64(const std::string& bytes) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) group |= static_cast<uint8_t>(bytes[i + 2]);
        for (int k = 0; k < 4; ++k)
            out += i + k - 1 < bytes.size() || k < 2 ? alphabet[(group >> (18 - 6 * k)) & 63] : '=';
        if (out.size() % 77 == 76) out += "\r\n";
    }
    return out;
}

std::string Uuencode(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 45) {
        const std::string line = bytes.substr(i, 45);
        out += static_cast<char>(32 + line.size());
        for (size_t j = 0; j < line.size(); j += 3) {
            uint32_t group = 0;
            for (size_t k = 0; k < 3; ++k) group = (group << 8) | (j + k < line.size() ? static_cast<uint8_t>(line[j + k]) : 0);
            for (int k = 0; k < 4; ++k) out += static_cast<char>(((group >> (18 - 6 * k)) & 63) ? 32 + ((group >> (18 - 6 * k)) & 63) : '`');
        }
        out += "\n";
    }
    return out + "`\n";
}

}  // namespace

// The sample holds bytes that no encoding leaves as they are: found only when decoded.
TEST(Mail, AttachmentsInEveryEncodingAreScanned) {
    const std::string sample = std::string("\x01\xfe" "TERVAN-MAIL-SAMPLE\x00\xff", 22);
    const std::string padding(300, 'x');
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", "Mail.Sample:0:*:" + Hex(sample)));
    db.Seal();
    const Engine engine(db);
    auto scan = [&](const std::string& mail) { return ScanBytes(engine, mail, L"C:\\message.eml"); };

    const std::string headers = "From: a@example.com\r\nSubject: test\r\nMIME-Version: 1.0\r\n";
    const std::string mixed = headers + "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\npreamble\r\n--outer\r\n"
                              "Content-Type: text/plain\r\n\r\nhello\r\n--outer\r\n"
                              "Content-Type: multipart/alternative; boundary=inner\r\n\r\n--inner\r\n"
                              "Content-Type: text/html\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
    std::string quoted;
    for (unsigned char c : padding + sample) quoted += c >= 33 && c <= 126 && c != '=' ? std::string(1, c) : "=" + Hex(std::string(1, c));
    const Detection nested = scan(mixed + quoted + "\r\n--inner--\r\n--outer--\r\n");
    EXPECT_EQ("Mail.Sample", nested.name) << "quoted-printable, in a multipart in a multipart: " << nested.why;

    const std::string attached = headers + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
                                 "Content-Type: application/octet-stream; name=\"x.exe\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
                                 Base64(padding + sample + padding);
    const Detection base64 = scan(attached + "\r\n--b--\r\n");
    EXPECT_EQ("Mail.Sample", base64.name) << base64.why;
    const Detection cut = scan(attached.substr(0, attached.size() - 600));
    EXPECT_TRUE(!cut.found && cut.incomplete) << "cut before the sample, inside the attachment: " << cut.why;

    const std::string mailbox = "From a@example.com Thu Jul 31 13:51:21 2008\nFrom: a@example.com\nSubject: one\n\nfirst\n\n"
                                "From b@example.com Thu Jul 31 13:52:21 2008\nFrom: b@example.com\n"
                                "Content-Transfer-Encoding: x-uuencode\n\nbegin 644 x.exe\n" + Uuencode(padding + sample) + "end\n";
    const Detection uu = scan(mailbox);
    EXPECT_EQ("Mail.Sample", uu.name) << "the mailbox's second message, uuencoded: " << uu.why;

    const Detection plain = scan(headers + "\r\nnothing encoded here: " + Base64(sample) + "\r\n");
    EXPECT_TRUE(!plain.found && !plain.incomplete) << plain.why;

    // A quoted-printable attachment is what it encodes, to the byte: the line end before the boundary
    // is the boundary's, the one ending the file's last line its own. Found by its digest.
    for (const std::string& file : {std::string("first line\r\nlast line, no line end"), std::string("first line\r\nlast line\r\n")}) {
        MemorySource fileSource(reinterpret_cast<const uint8_t*>(file.data()), file.size());
        const std::vector<uint8_t> md5 = Digest(HashKind::Md5, fileSource);
        Database digests;
        ASSERT_TRUE(digests.AddLine(".hdb", Hex(std::string(md5.begin(), md5.end())) + ":" + std::to_string(file.size()) + ":Quoted.File"));
        digests.Seal();
        const Engine byDigest(digests);
        const std::string encoded = file.substr(0, file.size() - (file.back() == '\n' ? 2 : 0));
        const std::string mail = headers + "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
                                 "Content-Type: text/plain; name=\"f.txt\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n" +
                                 encoded + (file.back() == '\n' ? "\r\n" : "") + "\r\n--b--\r\n";
        EXPECT_EQ("Quoted.File", ScanBytes(byDigest, mail, L"C:\\message.eml").name) << file;
    }
}

// An embedded file is found by its digest only when it is taken out of the PDF whole (the line end
// before "endstream" is not its own); an encrypted PDF's streams cannot be read.
TEST(Documents, PdfEmbeddedFilesAndEncryptedPdfs) {
    const std::string program = "MZ: a program embedded in a PDF\r";  // its own last byte is a line end
    MemorySource programSource(reinterpret_cast<const uint8_t*>(program.data()), program.size());
    const std::vector<uint8_t> md5 = Digest(HashKind::Md5, programSource);
    Database db;
    ASSERT_TRUE(db.AddLine(".hdb", Hex(std::string(md5.begin(), md5.end())) + ":" + std::to_string(program.size()) + ":Embedded.Program"));
    db.Seal();
    const Engine engine(db);
    const std::string pdf = "%PDF-1.7\n1 0 obj\n<< /Type /EmbeddedFile /Length 9 0 R >>\nstream\r\n" + program +
                            "\r\nendstream\nendobj\n%%EOF\n";
    const Detection embedded = ScanBytes(engine, pdf, L"C:\\a.pdf");
    EXPECT_EQ("Embedded.Program", embedded.name) << embedded.why;
    const Detection encrypted = ScanBytes(engine, pdf + "trailer << /Encrypt 5 0 R >>\n", L"C:\\a.pdf");
    EXPECT_TRUE(!encrypted.found && encrypted.incomplete) << encrypted.why;
    EXPECT_EQ("encrypted PDF", encrypted.why);
}

namespace {

// A file that shrank after its size was taken: the bytes past what is left cannot be read.
class ShrunkSource : public ByteSource {
public:
    ShrunkSource(const std::string& bytes, uint64_t claimed) : bytes_(bytes), claimed_(claimed) {}
    uint64_t Size() const override { return claimed_; }
    size_t Read(uint64_t offset, uint8_t* out, size_t size) override {
        if (offset >= bytes_.size()) return 0;
        const size_t n = std::min<size_t>(size, bytes_.size() - static_cast<size_t>(offset));
        std::memcpy(out, bytes_.data() + offset, n);
        return n;
    }
    uint8_t At(uint64_t offset) override { return offset < bytes_.size() ? static_cast<uint8_t>(bytes_[offset]) : 0; }
    const uint8_t* View(uint64_t offset, size_t& size) override {
        size = offset < bytes_.size() ? bytes_.size() - static_cast<size_t>(offset) : 0;
        return size ? reinterpret_cast<const uint8_t*>(bytes_.data() + offset) : nullptr;
    }

private:
    std::string bytes_;
    uint64_t claimed_;
};

}  // namespace

// Text formats read until the bytes end, even when the size said more (never waiting on a read that
// gives nothing).
TEST(Documents, TextFormatsEndWhereAShrunkFileEnds) {
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", "Archive.Sample:0:*:" + Hex("TERVAN-ARCHIVE-SAMPLE")));
    db.Seal();
    const Engine engine(db);
    for (const std::string& text : {std::string("From: a@example.com\nContent-Transfer-Encoding: base64\n\nVEVS"),
                                   std::string("(This file must be converted with BinHex 4.0)\n:#R0KEA\"XC5jd"),
                                   std::string("{\\rtf1{\\object{\\*\\objdata 0105000002000000")}) {
        ShrunkSource source(text, text.size() + 100000);
        const Detection found = engine.Scan(source, L"C:\\shrunk", nullptr, nullptr);
        EXPECT_FALSE(found.found) << text;
    }
}
