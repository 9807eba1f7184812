// The updater's parts on their own: the base header, the base's list of its files, a patch applied to
// a base, the signature check, and the settings.
#include "base/Text.h"
#include "tests/support/Sandbox.h"
#include "update/BaseInfo.h"
#include "update/BaseSignature.h"
#include "update/Cdiff.h"
#include "update/CvdHeader.h"
#include "base/Digest.h"
#include "update/UpdateSettings.h"

#include <gtest/gtest.h>

using namespace Update;
using Crypto::Digest;
using boost::multiprecision::cpp_int;

namespace {

std::string Sha256(const std::string& text) { return HexText(Digest::Of(Digest::Sha256, text.data(), text.size())); }

// A base of two files and its list, as a publisher makes it.
std::map<std::string, std::string> PublishedBase(uint32_t version) {
    std::map<std::string, std::string> files = {{"daily.ndb", "A:0:*:4142\n"}, {"daily.hdb", "x:1:H\n"}, {"COPYING", "licence\n"}};
    std::string info = "ClamAV-VDB:08 Dec 2026 12-00 +0000:" + std::to_string(version) + ":2:90:X:X:builder:1765195200\n";
    for (const char* name : {"daily.ndb", "daily.hdb"})
        info += std::string(name) + ":" + std::to_string(files[name].size()) + ":" + Sha256(files[name]) + "\n";
    files["daily.info"] = info + "DSIG:abcdef\n";
    return files;
}

std::wstring CheckOf(const std::map<std::string, std::string>& files, CvdHeader& listed) {
    std::wstring error;
    return CheckBaseContent("daily", ContentOf("daily", files), listed, error) ? L"ok" : error;
}

}  // namespace

TEST(UpdateParts, HeaderFieldsAreNumbersThatCannotWrap) {
    CvdHeader header;
    std::string text = "ClamAV-VDB:08 Dec 2026:27000:2000000:90:0123456789abcdef0123456789abcdef:sig:builder:1765195200";
    text.resize(CvdHeaderSize, ' ');
    ASSERT_TRUE(header.Parse(text.data(), text.size()));
    EXPECT_EQ(27000u, header.version);
    EXPECT_EQ(2000000u, header.signatures);
    EXPECT_EQ(90u, header.level);
    // A list's first line may stop after the level; a container's header may not.
    EXPECT_TRUE(header.ParseLine("ClamAV-VDB:x:5:2:90", 5));
    EXPECT_FALSE(header.ParseLine("ClamAV-VDB:x:5:2:90", 8));
    EXPECT_FALSE(header.ParseLine("ClamAV-VDB:x:4294967296:2:90:X:X:b", 5));  // one past the largest version
    EXPECT_FALSE(header.ParseLine("ClamAV-VDB:x:0:2:90:X:X:b", 5));
    EXPECT_FALSE(header.ParseLine("ClamAV-VDB:x:-1:2:90:X:X:b", 5));
    EXPECT_FALSE(header.Parse(text.data(), CvdHeaderSize - 1));
}

TEST(UpdateParts, ABaseIsExactlyWhatItsListSays) {
    CvdHeader listed;
    EXPECT_EQ(L"ok", CheckOf(PublishedBase(7), listed));
    EXPECT_EQ(7u, listed.version);
    EXPECT_EQ(2u, listed.signatures);

    auto changed = PublishedBase(7);
    changed["daily.ndb"] += "B:0:*:4344\n";
    EXPECT_NE(std::wstring::npos, CheckOf(changed, listed).find(L"daily.ndb is not the file its list describes"));
    auto added = PublishedBase(7);
    added["daily.ldb"] = "L;Engine:51-255,Target:0;0;41\n";
    EXPECT_NE(std::wstring::npos, CheckOf(added, listed).find(L"holds daily.ldb, which its list does not name"));
    auto missing = PublishedBase(7);
    missing.erase("daily.hdb");
    EXPECT_NE(std::wstring::npos, CheckOf(missing, listed).find(L"lacks daily.hdb"));
    auto unlisted = PublishedBase(7);
    unlisted.erase("daily.info");
    EXPECT_NE(std::wstring::npos, CheckOf(unlisted, listed).find(L"no list of its files"));
    auto trailing = PublishedBase(7);
    trailing["daily.info"] += "daily.ldb:1:" + Sha256("x") + "\n";
    EXPECT_NE(std::wstring::npos, CheckOf(trailing, listed).find(L"goes on after its signature"));
    auto headless = PublishedBase(7);
    headless["daily.info"] = headless["daily.info"].substr(headless["daily.info"].find('\n') + 1);
    EXPECT_NE(std::wstring::npos, CheckOf(headless, listed).find(L"does not start with the base's version"));
}

TEST(UpdateParts, APatchForAnotherVersionChangesNothing) {
    std::map<std::string, std::string> files = {{"daily.ndb", "A:0:*:41\nB:0:*:42\n"}, {"daily.info", "ClamAV-VDB:x:1:2:90\n"}};
    const auto before = files;
    std::wstring error;
    // The first command fits; the second names a line that is not the one meant: nothing is applied.
    EXPECT_FALSE(ApplyPatch("OPEN daily.info\nXCHG 1 ClamAV-VDB: ClamAV-VDB:x:2:3:90\nCLOSE\nOPEN daily.ndb\nXCHG 2 C: C:0:*:43\nCLOSE\n", files,
                            error));
    EXPECT_NE(std::wstring::npos, error.find(L"not the line meant"));
    EXPECT_EQ(before, files);
    EXPECT_TRUE(ApplyPatch("OPEN daily.ndb\nXCHG 2 B: C:0:*:43\nCLOSE\n", files, error));
    EXPECT_EQ("A:0:*:41\nC:0:*:43\n", files["daily.ndb"]);
}

TEST(UpdateParts, OnlyTheKeysOwnerSignsABase) {
    // A small key of known factors (two Mersenne primes), big enough for an MD5 block.
    const cpp_int p = (cpp_int(1) << 89) - 1, q = (cpp_int(1) << 107) - 1, n = p * q, phi = (p - 1) * (q - 1), e = 65537;
    cpp_int d = 0, r0 = phi, r1 = e, t0 = 0, t1 = 1;  // d = e^-1 mod phi, by the extended Euclid
    while (r1 != 0) {
        const cpp_int k = r0 / r1, r2 = r0 - k * r1, t2 = t0 - k * t1;
        r0 = r1, r1 = r2, t0 = t1, t1 = t2;
    }
    d = (t0 % phi + phi) % phi;
    SigningKey key;
    key.modulus = n;
    key.exponent = e;
    const std::string md5 = "0123456789abcdef0123456789abcdef";
    cpp_int value = 0;
    for (size_t i = 0; i < md5.size(); i += 2) value = (value << 8) | std::stoi(md5.substr(i, 2), nullptr, 16);
    cpp_int signature = boost::multiprecision::powm(value, d, n);
    const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+/";
    std::string text;
    for (; signature != 0; signature >>= 6) text += alphabet[static_cast<unsigned>(signature & 63)];

    EXPECT_TRUE(VerifyBaseSignature(md5, text, key));
    EXPECT_TRUE(VerifyBaseSignature("0123456789ABCDEF0123456789ABCDEF", text, key));
    EXPECT_FALSE(VerifyBaseSignature("1123456789abcdef0123456789abcdef", text, key));
    std::string flipped = text;
    flipped[0] = flipped[0] == 'a' ? 'b' : 'a';
    EXPECT_FALSE(VerifyBaseSignature(md5, flipped, key));
    EXPECT_FALSE(VerifyBaseSignature(md5, text, PublisherBaseKey()));
    EXPECT_FALSE(VerifyBaseSignature(md5, text + "!", key));
}

TEST(UpdateParts, SettingsKeepTheirOrderAndRefuseNonsense) {
    TestSupport::ScratchFolder folder;
    TestSupport::WriteFile(folder / L"refengine.ini",
                           "[update]\r\nmirror=https://a.example/db\r\nmirror2 = http://b.example/\r\nbases=daily main ../x\r\n"
                           "deadline=5\r\nminimum_rate=abc\r\n");
    UpdateSettings settings = ReadUpdateSettings(folder.Path());
    EXPECT_EQ((std::vector<std::wstring>{L"https://a.example/db/", L"http://b.example/"}), settings.mirrors);
    EXPECT_EQ((std::vector<std::string>{"daily", "main"}), settings.bases);
    EXPECT_EQ(1800u, settings.deadlineSeconds);  // five seconds would end every update: the default stays
    EXPECT_EQ(1024u, settings.minimumRate);
    TestSupport::WriteFile(folder / L"refengine.ini", "[update]\r\ndeadline=600\r\nminimum_rate=50\r\n");
    settings = ReadUpdateSettings(folder.Path());
    EXPECT_EQ(600u, settings.deadlineSeconds);
    EXPECT_EQ(50u, settings.minimumRate);
    EXPECT_EQ((std::vector<std::string>{"main", "daily", "bytecode"}), settings.bases);
}
