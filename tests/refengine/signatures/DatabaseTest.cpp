// The reference engine's base formats and its matching of bodies, offsets, wildcards and hashes.
#include "refengine/signatures/Database.h"
#include "refengine/core/Scanner.h"
#include "tests/refengine/Hex.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace RefEngine;
using TestSupport::Hex;

namespace {

// Scans a block of memory against a database of the given lines.
class Bench {
public:
    explicit Bench(const std::vector<std::pair<std::string, std::string>>& lines) {
        for (const auto& line : lines) accepted_.push_back(database_.AddLine(line.first, line.second));
        database_.Seal();
        engine_.reset(new Engine(database_));
    }
    std::string Match(const std::string& data) {
        MemorySource source(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        const Detection found = engine_->Scan(source, L"x", nullptr, nullptr);
        return found.found ? found.name : std::string();
    }
    Detection Scan(const std::string& data) {
        MemorySource source(reinterpret_cast<const uint8_t*>(data.data()), data.size());
        return engine_->Scan(source, L"x", nullptr, nullptr);
    }
    const std::vector<bool>& Accepted() const { return accepted_; }
    const Database& Data() const { return database_; }

private:
    Database database_;
    std::vector<bool> accepted_;
    std::unique_ptr<Engine> engine_;
};

}  // namespace

TEST(RefBases, LinesOutsideTheSubsetAreSkippedAndCounted) {
    Database db;
    const std::vector<std::pair<std::string, std::string>> good = {
        {".ndb", "Sig.A:0:*:" + Hex("abcdef")},
        {".ndb", "Sig.B:0:10:" + Hex("abc") + "??" + Hex("def") + ":10:1000"},
        {".ndb", "Sig.C:0:EOF-5:" + Hex("tail!")},
        {".hdb", "44d88612fea8a8f36de82e1278abb02f:68:Eicar.Md5"},
        {".hsb", "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f:68:Eicar.Sha256"},
        {".hsb", "3395856ce81f2b7382dee72602f798b642f14140:68:Eicar.Sha1"},
        {".tvb", "Own|*|" + Hex("own") + "|truncate"},
        {".ndb", "Alt:0:*:aa(bb|cc)dd"},
        {".ndb", "Nibble:0:*:aabbc?dd"},
        {".ndb", "Range:0:10,20:aabbccdd"},
        {".ndb", "Pe.Only:1:EP+10:" + Hex("abcdef")},
        {".hdb", "44d88612fea8a8f36de82e1278abb02f:*:Any.Size"},
        {".ndb", "# a comment"},
        {".ndb", ""},
    };
    for (const auto& line : good) EXPECT_TRUE(db.AddLine(line.first, line.second)) << line.second;
    const std::vector<std::pair<std::string, std::string>> bad = {
        {".ndb", "Unused:8:*:" + Hex("abcdef")},           // a target type no object has
        {".ndb", "Ep:0:EP+10:aabbccdd"},                    // entry-point offsets in any object
        {".ndb", "Later:0:*:aabbccdd:217"},                 // for a later engine
        {".ndb", "Earlier:0:*:aabbccdd:1:215"},             // for earlier engines only
        {".ndb", "Not.Multi:0:*:aa!(bbcc|dd)ee"},           // negated strings of unequal length
        {".ndb", "Gap.First:0:*:*aabb"},                    // a gap with nothing before it
        {".ndb", "Wild.Only:0:*:????"},                     // nothing to anchor on
        {".ndb", "Short:0:*"},
        {".hdb", "notahash:68:Bad"},
        {".tvb", "Own|*|aabb|melt"},
        {".xyz", "whatever"},
    };
    for (const auto& line : bad) EXPECT_FALSE(db.AddLine(line.first, line.second)) << line.second;
    EXPECT_EQ(12u, db.Records());
    // The summary says why each skipped extended signature was left.
    EXPECT_EQ(1u, db.skippedLines[".ndb: target type 8"]);
    EXPECT_EQ(1u, db.skippedLines[".ndb: offset in a program's structure for target type 0"]);
    EXPECT_EQ(2u, db.skippedLines[".ndb: functionality level"]);
    EXPECT_EQ(1u, db.skippedLines[".ndb: malformed"]);
    // ... and names each line it left, for --version -v.
    EXPECT_NE(db.skippedNames.end(), std::find(db.skippedNames.begin(), db.skippedNames.end(), ".ndb Unused: target type 8"));
}

TEST(RefBases, OffsetsAnchorWhereTheyShould) {
    Bench bench({{".ndb", "Anywhere:0:*:" + Hex("needle")},
                 {".ndb", "At.Ten:0:10:" + Hex("header")},
                 {".ndb", "At.End:0:EOF-4:" + Hex("tail")}});
    EXPECT_EQ("Anywhere", bench.Match("....needle...."));
    EXPECT_EQ("At.Ten", bench.Match("0123456789header"));
    EXPECT_EQ("", bench.Match("012345678header")) << "one byte off";
    EXPECT_EQ("At.End", bench.Match("......tail"));
    EXPECT_EQ("", bench.Match("......tail!"));
    EXPECT_EQ("", bench.Match("nothing here"));
}

TEST(RefBases, WildcardsAndGaps) {
    Bench bench({{".ndb", "Any.Byte:0:*:" + Hex("ab") + "??" + Hex("cd")},
                 {".ndb", "Star:0:*:" + Hex("start") + "*" + Hex("finish")},
                 {".ndb", "Exact:0:*:" + Hex("one") + "{3}" + Hex("two")},
                 {".ndb", "Range:0:*:" + Hex("lo") + "{2-4}" + Hex("hi")},
                 {".ndb", "Up.To:0:*:" + Hex("UP") + "{-2}" + Hex("TO")},
                 {".ndb", "At.Least:0:*:" + Hex("AT") + "{100-}" + Hex("LEAST")},
                 {".ndb", "Far:0:*:" + Hex("FAR") + "{70}" + Hex("AWAY")},
                 {".ndb", "Gap.Last:0:*:" + Hex("TAIL") + "{3}"}});
    EXPECT_EQ("Any.Byte", bench.Match("xxabZcdxx"));
    EXPECT_EQ("", bench.Match("xxabcdxx"));
    EXPECT_EQ("Star", bench.Match("start" + std::string(100000, '.') + "finish"));
    EXPECT_EQ("", bench.Match("finish start"));
    EXPECT_EQ("Exact", bench.Match("one123two"));
    EXPECT_EQ("", bench.Match("one12two"));
    EXPECT_EQ("Range", bench.Match("lo1234hi"));
    EXPECT_EQ("", bench.Match("lo12345hi"));
    EXPECT_EQ("", bench.Match("lo1hi"));
    EXPECT_EQ("Up.To", bench.Match("UPTO"));
    EXPECT_EQ("Up.To", bench.Match("UP12TO"));
    EXPECT_EQ("", bench.Match("UP123TO"));
    EXPECT_EQ("At.Least", bench.Match("AT" + std::string(100, '-') + "LEAST"));
    EXPECT_EQ("", bench.Match("AT" + std::string(99, '-') + "LEAST"));
    EXPECT_EQ("Far", bench.Match("FAR" + std::string(70, '-') + "AWAY"));
    EXPECT_EQ("", bench.Match("FAR" + std::string(69, '-') + "AWAY"));
    // A gap at the end asks for that many bytes after the rest.
    EXPECT_EQ("Gap.Last", bench.Match("xxTAIL123"));
    EXPECT_EQ("", bench.Match("xxTAIL12"));
}

TEST(RefBases, StringChoicesAndNonWordBytes) {
    // A negated choice of strings is as many bytes as each, none of them: checked after the anchor and
    // (going back from it) before; it never reaches past the object.
    Bench bench({{".ndb", "Neg.After:0:*:" + Hex("negated-after") + "!(4142|4344)"},
                 {".ndb", "Neg.Before:0:*:!(4142|4344)" + Hex("negated-before")},
                 {".ndb", "Non.Word:0:*:" + Hex("non") + "(W)" + Hex("word")},
                 {".ldb", "Any.Case;Engine:51-255,Target:0;0;" + Hex("caseless-") + "(4142|4344)" + Hex("-end") + "::i"}});
    EXPECT_EQ("Any.Case", bench.Match("CASELESS-cD-END"));
    EXPECT_EQ("", bench.Match("caseless-ad-end"));
    EXPECT_EQ("Neg.After", bench.Match("..negated-afterAC"));
    EXPECT_EQ("", bench.Match("..negated-afterCD"));
    EXPECT_EQ("", bench.Match("..negated-afterA"));
    EXPECT_EQ("Neg.Before", bench.Match("ACnegated-before"));
    EXPECT_EQ("", bench.Match("..ABnegated-before"));
    EXPECT_EQ("", bench.Match("Anegated-before"));
    EXPECT_EQ("Non.Word", bench.Match("non-word"));
    EXPECT_EQ("Non.Word", bench.Match("non\xE9word"));
    EXPECT_EQ("", bench.Match("nonxword"));
    EXPECT_EQ("", bench.Match("non7word"));
}

TEST(RefBases, ManySignaturesWithSharedPartsAndTheCureOffset) {
    std::vector<std::pair<std::string, std::string>> lines;
    for (int i = 0; i < 2000; ++i) lines.push_back({".ndb", "Many." + std::to_string(i) + ":0:*:" + Hex("prefix" + std::to_string(i) + "!")});
    lines.push_back({".tvb", "Appended|*|" + Hex("BODY") + "|truncate"});
    Bench bench(lines);
    EXPECT_EQ("Many.1234", bench.Match("...prefix1234!..."));
    EXPECT_EQ("Many.12", bench.Match("prefix12!"));
    EXPECT_EQ("", bench.Match("prefix12345!"));
    const Detection appended = bench.Scan("host bytes BODY tail");
    EXPECT_TRUE(appended.found && appended.curable);
    EXPECT_EQ(11u, appended.matchStart);
    EXPECT_FALSE(bench.Scan("BODY at the start").curable) << "cutting at 0 would leave nothing of a host";
}

TEST(RefBases, HashesOfFilesWithANamedSize) {
    const std::string eicar = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
    for (const auto& line : std::vector<std::pair<std::string, std::string>>{
             {".hdb", "44d88612fea8a8f36de82e1278abb02f:68:Eicar.Md5"},
             {".hsb", "3395856ce81f2b7382dee72602f798b642f14140:68:Eicar.Sha1"},
             {".hsb", "275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f:68:Eicar.Sha256"}}) {
        Bench bench({line});
        EXPECT_EQ(line.second.substr(line.second.rfind(':') + 1), bench.Match(eicar));
        EXPECT_EQ("", bench.Match(eicar + " ")) << "another size is not even hashed";
    }
}
