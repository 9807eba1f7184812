// Signatures limited to a kind of object or of container: each matches objects of its kind only, web
// pages and text in their normalised form, macro sources decompressed from their compound file.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/core/Scanner.h"
#include "tests/refengine/Hex.h"
#include "tests/refengine/ZipWriter.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

using namespace RefEngine;
using TestSupport::Hex;

namespace {

std::string Found(const Engine& engine, const std::string& bytes) {
    MemorySource source(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const Detection detection = engine.Scan(source, L"C:\\object", nullptr, nullptr);
    EXPECT_FALSE(detection.incomplete) << detection.why;
    return detection.name;
}

}  // namespace

TEST(TargetTypes, EachSignatureSeesObjectsOfItsKindOnly) {
    Database db;
    for (const std::string& line : {"Elf.Only:6:*:" + Hex("TERVAN-TYPED"), "Text.Only:7:*:" + Hex("document.write( unescape"),
                                    "Html.Only:3:*:" + Hex("<script>eval('tervan')"), "Macro.Only:2:*:" + Hex("Sub AutoOpen()")})
        ASSERT_TRUE(db.AddLine(".ndb", line)) << line;
    ASSERT_TRUE(db.AddLine(".ldb", "Zip.Member;Engine:81-255,Container:CL_TYPE_ZIP,Target:0;0;" + Hex("TERVAN-IN-ZIP")));
    ASSERT_TRUE(db.AddLine(".ldb", "Not.Contained;Engine:81-255,Container:CL_TYPE_ANY,Target:0;0;" + Hex("TERVAN-AT-THE-ROOT")));
    db.Seal();
    const Engine engine(db);

    EXPECT_EQ("Elf.Only", Found(engine, std::string("\x7F" "ELF\x01\x01\x01\0\0\0 TERVAN-TYPED", 23)));
    EXPECT_EQ("", Found(engine, std::string("\x01\x02\0\0 TERVAN-TYPED", 17)));
    // Text in any case and spacing; the same words in a binary file are not text.
    EXPECT_EQ("Text.Only", Found(engine, "x = Document.Write(\r\n\t  UNESCAPE('%41'))\n"));
    EXPECT_EQ("", Found(engine, std::string("\0\x01 document.write( unescape", 27)));
    // A page with character references and script escapes; text that carries markup is a page too,
    // a binary file is not; UTF-16 text is text.
    EXPECT_EQ("Html.Only", Found(engine, "<html><body><SCRIPT>eval(&#39;\\x74ervan&#x27;)</script></body></html>\n"));
    EXPECT_EQ("Html.Only", Found(engine, "plain text: <script>eval('tervan')\n"));
    EXPECT_EQ("", Found(engine, std::string("\0\x01<script>eval('tervan')", 24)));
    const std::string wide = u8"x = Document.Write(  UNESCAPE('%41'))";
    std::string utf16 = "\xFF\xFE";
    for (char c : wide) utf16 += {c, '\0'};
    EXPECT_EQ("Text.Only", Found(engine, utf16));
    // A container's signature sees its members, not the same bytes anywhere else.
    TestSupport::ZipWriter zip;
    zip.Add("member.txt", "TERVAN-IN-ZIP");
    EXPECT_EQ("Zip.Member", Found(engine, zip.Bytes()));
    EXPECT_EQ("", Found(engine, "TERVAN-IN-ZIP"));
    // CL_TYPE_ANY: in no container at all.
    EXPECT_EQ("Not.Contained", Found(engine, "TERVAN-AT-THE-ROOT"));
    TestSupport::ZipWriter rooted;
    rooted.Add("member.txt", "TERVAN-AT-THE-ROOT");
    EXPECT_EQ("", Found(engine, rooted.Bytes()));
    EXPECT_EQ("", Found(engine, "Sub AutoOpen()\r\n"));

    // A macro module of a compound file: the source is compressed, the signature meant for it.
    const std::string sample = TestSupport::ReadFile(TestSupport::ExecutableFolder() + L"testdata\\archives\\compound-vba.bin");
    EXPECT_EQ("Macro.Only", Found(engine, sample));
}

namespace {

// A 32-bit ELF program: its headers, one loadable segment from the file's start at 0x8048000, and
// code at offset 0x60; the entry address as given.
std::string ElfProgram(uint32_t entry, const std::string& code) {
    auto le = [](uint32_t value, int bytes) {
        std::string out;
        for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
        return out;
    };
    const uint32_t size = 0x60 + static_cast<uint32_t>(code.size());
    std::string elf = std::string("\x7F" "ELF\x01\x01\x01", 7) + std::string(9, '\0') + le(2, 2) + le(3, 2) + le(1, 4) +
                      le(entry, 4) + le(52, 4) + le(0, 4) + le(0, 4) + le(52, 2) + le(32, 2) + le(1, 2) + le(40, 2) + le(0, 2) +
                      le(0, 2);
    elf += le(1, 4) + le(0, 4) + le(0x8048000, 4) + le(0x8048000, 4) + le(size, 4) + le(size, 4) + le(5, 4) + le(0x1000, 4);
    return elf + std::string(0x60 - elf.size(), '\0') + code;
}

}  // namespace

// An entry point of an ELF program is where its address lies in the file.
TEST(TargetTypes, ElfEntryPoints) {
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", "Elf.Entry:6:EP+0:" + Hex("TERVAN-ELF-ENTRY")));
    db.Seal();
    const Engine engine(db);
    EXPECT_EQ("Elf.Entry", Found(engine, ElfProgram(0x8048060, "TERVAN-ELF-ENTRY")));
    EXPECT_EQ("", Found(engine, ElfProgram(0x8048061, "TERVAN-ELF-ENTRY")));
    EXPECT_EQ("", Found(engine, ElfProgram(0x9000000, "TERVAN-ELF-ENTRY"))) << "an entry outside every segment";
}

// The published example of the VBA compression: copies whose offset and length bits follow the
// position in the chunk.
TEST(TargetTypes, VbaChunksDecompressAsPublished) {
    const uint8_t chunk[] = {0x2F, 0xB0, 0x00, 0x23, 0x61, 0x61, 0x61, 0x62, 0x63, 0x64, 0x65, 0x82, 0x66, 0x00, 0x70, 0x61, 0x67,
                             0x68, 0x69, 0x6A, 0x01, 0x38, 0x08, 0x61, 0x6B, 0x6C, 0x00, 0x30, 0x6D, 0x6E, 0x6F, 0x70, 0x06, 0x71,
                             0x02, 0x70, 0x04, 0x10, 0x72, 0x73, 0x74, 0x75, 0x76, 0x10, 0x77, 0x78, 0x79, 0x7A, 0x00, 0x3C};
    std::vector<uint8_t> out;
    ASSERT_TRUE(DecompressVbaChunk(chunk, sizeof chunk, out));
    EXPECT_EQ("#aaabcdefaaaaghijaaaaaklaaamnopqaaaaaaaaaaaarstuvwxyzaaa", std::string(out.begin(), out.end()));
    // A copy from before the chunk's start is damage, not a read outside the output.
    const uint8_t early[] = {0x03, 0xB0, 0x01, 0x00, 0x70};
    out.clear();
    EXPECT_FALSE(DecompressVbaChunk(early, sizeof early, out));
}
