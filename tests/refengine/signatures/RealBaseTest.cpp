// The forms the public base really uses: a slice of its logical signatures, each against a file made
// to match it and one made to miss it by a byte, all loaded at once; case-insensitive text, repeated
// modifiers, byte classes by the tens of thousands and subsignature kinds that are skipped.
#include "refengine/signatures/Database.h"
#include "refengine/core/Scanner.h"
#include "tests/refengine/Hex.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <sstream>

using namespace RefEngine;
using TestSupport::Hex;

namespace {

std::string Gunzip(const std::string& packed) {
    z_stream z = {};
    EXPECT_EQ(Z_OK, inflateInit2(&z, 16 + MAX_WBITS));
    std::string out;
    char buffer[65536];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(packed.data()));
    z.avail_in = static_cast<uInt>(packed.size());
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    EXPECT_EQ(Z_STREAM_END, status);
    return out;
}

Detection Scan(const Engine& engine, const std::string& data) {
    MemorySource source(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    return engine.Scan(source, L"x", nullptr, nullptr);
}

void Put32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

// A PE file of one section that holds the body, its entry point at the section's start.
std::string PeFile(const std::string& body) {
    const uint32_t raw = static_cast<uint32_t>((body.size() + 0x1FF) & ~0x1FFu);
    std::string pe(0x200 + raw, '\0');
    std::memcpy(&pe[0], "MZ", 2);
    Put32(pe, 0x3C, 0x40);
    std::memcpy(&pe[0x40], "PE\0\0\x4C\x01\x01\0", 8);
    pe[0x54] = static_cast<char>(0xE0);
    pe[0x58] = 0x0B;
    pe[0x59] = 0x01;
    Put32(pe, 0x58 + 16, 0x1000);  // entry point
    const size_t section = 0x58 + 0xE0;
    Put32(pe, section + 8, raw);
    Put32(pe, section + 12, 0x1000);
    Put32(pe, section + 16, raw);
    Put32(pe, section + 20, 0x200);
    pe.replace(0x200, body.size(), body);
    return pe;
}

// Bytes that a body signature matches, with the place of one byte that only its exact value matches
// (a near miss changes it); empty when the signature has a form this does not make.
struct Sample {
    std::string bytes;
    size_t exactAt = std::string::npos;
    std::string anchor;  // the bytes of the anchor, case folded
};

std::string Folded(std::string text) {
    for (char& c : text) c = static_cast<char>(FoldCase(static_cast<uint8_t>(c)));
    return text;
}

Sample MakeSample(const BodySignature& sig, std::mt19937& random) {
    Sample sample;
    auto test = [&](const ByteTest& t, bool anchor) {
        uint8_t b = 0;
        if (t.byteClass >= 0) {
            const std::bitset<256>& bytes = sig.classes[static_cast<size_t>(t.byteClass)];
            std::vector<int> members;
            for (int v = 0; v < 256; ++v)
                if (bytes.test(static_cast<size_t>(v))) members.push_back(v);
            b = static_cast<uint8_t>(members[random() % members.size()]);  // either case, for ::i
        } else {
            b = static_cast<uint8_t>(t.value | (random() & ~t.mask));
        }
        if (anchor && t.Exact()) sample.exactAt = sample.bytes.size();
        if (anchor) sample.anchor += static_cast<char>(FoldCase(b));
        sample.bytes += static_cast<char>(b);
    };
    for (size_t e = 0; e < sig.elements.size(); ++e) {
        const Element& element = sig.elements[e];
        switch (element.kind) {
        case Element::Run:
            for (size_t i = 0; i < element.run.size(); ++i)
                test(element.run[i], e == sig.anchorElement && i >= sig.anchorPosition && i < sig.anchorPosition + sig.anchorLength);
            break;
        case Element::Choice:
            for (const ByteTest& t : element.options[random() % element.options.size()]) test(t, false);
            break;
        case Element::Gap:
            for (uint64_t i = 0; i < element.min; ++i) sample.bytes += static_cast<char>(0xF0 | (random() & 7));
            break;
        case Element::Boundary:
            return Sample();
        }
    }
    return sample;
}

// A logical signature as a file that matches it and one that misses a subsignature it needs.
struct Case {
    std::string name, match, nearMiss;
};

bool MakeCase(const std::string& line, std::mt19937& random, Case& out) {
    ParsedLogical parsed;
    if (!ParseLogicalSignature(line, FunctionalityLevel, parsed)) return false;
    const LogicalSignature& logical = parsed.signature;
    // Files of other types than programs, and regular expressions, are made by the tests of those.
    if (logical.target > 1 || !logical.anyContainer || !parsed.patterns.empty()) return false;
    if (!logical.monotone || logical.sizeMin > 0 || logical.sizeMax != UINT64_MAX || logical.entryLimited || logical.sectionsLimited)
        return false;
    // How often each subsignature must match: once, or past the count the expression compares with.
    std::vector<uint32_t> counts(logical.subsignatures, 1);
    for (size_t i = 0; i + 3 < logical.expression.size(); ++i)
        if (logical.expression[i] >> 24 == 0 && logical.expression[i + 1] >> 24 == 3)
            counts[logical.expression[i] & 0xFFFFFF] = logical.expression[i + 2] + 1;
    for (uint32_t count : counts)
        if (count > 64) return false;
    if (!logical.Evaluate(counts.data())) return false;
    std::vector<Sample> samples(logical.subsignatures);
    for (const auto& body : parsed.bodies) {
        if (body.second.offset.kind != Offset::Anywhere) return false;
        if (!samples[body.first].bytes.empty()) continue;  // one form of ::wa is enough
        samples[body.first] = MakeSample(body.second, random);
        if (samples[body.first].bytes.empty()) return false;
    }
    // The subsignature to miss: one the signature needs, whose anchor no other sample holds.
    const uint64_t required = logical.Required();
    auto breakable = [&](size_t i) {
        if (!((required >> i) & 1) || samples[i].exactAt == std::string::npos) return false;
        for (size_t j = 0; j < samples.size(); ++j)
            if (j != i && Folded(samples[j].bytes).find(samples[i].anchor) != std::string::npos) return false;
        return true;
    };
    size_t broken = 0;
    while (broken < samples.size() && !breakable(broken)) ++broken;
    if (broken == samples.size()) return false;
    out.name = parsed.name;
    out.match.clear();
    out.nearMiss.clear();
    for (size_t i = 0; i < samples.size(); ++i)
        for (uint32_t n = 0; n < counts[i]; ++n) {
            std::string filler(16 + random() % 48, '\0');
            for (char& c : filler) c = static_cast<char>(0xF0 | (random() & 7));
            std::string miss = samples[i].bytes;
            if (i == broken) miss[samples[i].exactAt] ^= 0x5A;
            out.match += filler + samples[i].bytes;
            out.nearMiss += filler + miss;
        }
    if (logical.target == 1) {
        out.match = PeFile(out.match);
        out.nearMiss = PeFile(out.nearMiss);
    }
    return true;
}

}  // namespace

// Every twentieth line or so of the public main.ldb, loaded at once, so that its signatures share
// anchors, groups and triggers as in the whole base: each one a file can be made for is found in it,
// and a file with one byte of a subsignature it needs changed is not taken for it.
TEST(RealBase, ASliceOfThePublicBaseFindsWhatItDescribes) {
    const std::string text = Gunzip(TestSupport::ReadFile(TestSupport::ExecutableFolder() + L"testdata\\main-ldb-slice.gz"));
    Database database;
    database.LoadText(text, ".ldb");
    database.Seal();
    const Engine engine(database);
    std::mt19937 random(27);
    std::istringstream lines(text);
    std::string line;
    int cases = 0, named = 0;
    while (std::getline(lines, line)) {
        Case c;
        if (!MakeCase(line, random, c)) continue;
        ++cases;
        const Detection match = Scan(engine, c.match);
        EXPECT_TRUE(match.found) << c.name << (match.incomplete ? ": " + match.why : "");
        named += match.name == c.name;
        const Detection miss = Scan(engine, c.nearMiss);
        EXPECT_NE(c.name, miss.name) << "a near miss";
        EXPECT_FALSE(miss.incomplete) << c.name << ": " << miss.why;
    }
    EXPECT_GT(cases, 1500) << "the slice must give many cases";
    // Another signature of the slice may match first where families share their strings (none does
    // today).
    EXPECT_GE(named, cases - cases / 100);
}

TEST(RealBase, CaseRepeatsClassesAndSkippedKinds) {
    Database db;
    // Letters alone, in either case; a modifier repeated many times counts once.
    EXPECT_TRUE(db.AddLine(".ldb", "Letters;Engine:81-255,Target:0;0;" + Hex("secretcasedword") + "::i"));
    EXPECT_TRUE(db.AddLine(".ldb", "Repeated;Engine:81-255,Target:0;0;" + Hex("repeat") + "::" + std::string(30, 'i')));
    // Kinds the engine does not read are skipped, each with its reason.
    EXPECT_FALSE(db.AddLine(".ldb", "Version;Target:1;0&1;VI:" + Hex("CompanyName") + ";" + Hex("abcdef")));
    // Tens of thousands of uses of the same few classes keep one entry each.
    for (int i = 0; i < 70000; ++i) {
        const std::string a = std::to_string(i + 1000000);
        ASSERT_TRUE(db.AddLine(".ndb", "Uses" + a + ":0:*:" + Hex(a) + "(" + Hex(a.substr(0, 1)) + "|" + Hex(a.substr(1, 1)) + ")")) << i;
    }
    EXPECT_TRUE(db.AddLine(".ndb", "Digit:0:*:5a5a5a5a(30|31)5a"));
    db.Seal();
    const Engine engine(db);
    EXPECT_EQ("Letters", Scan(engine, "xx SeCrEtCaSeDwOrD yy").name);
    EXPECT_EQ("Repeated", Scan(engine, "--RePeAt--").name);
    EXPECT_EQ("Digit", Scan(engine, "ZZZZ0Z").name);
    EXPECT_EQ("", Scan(engine, "ZZZZAZ").name);
    EXPECT_EQ(1u, db.skippedLines.count(".ldb: version-information subsignature (VI:)"));

    // More distinct classes than the store holds: the signatures beyond are refused and counted, and
    // none reads another's class.
    Database full;
    std::vector<std::string> refused;
    for (int i = 0, added = 0; added < 70000; ++i) {
        const int a = i % 256, b = (i / 256) % 256, c = i / 65536 + 1;
        if (a >= b) continue;
        ++added;
        const std::string line = "Class" + std::to_string(i) + ":0:*:" + Hex(std::to_string(i)) + "(" + Hex(std::string(1, static_cast<char>(a))) + "|" +
                                 Hex(std::string(1, static_cast<char>(b))) + "|" + Hex(std::string(1, static_cast<char>((b + c) % 256))) + ")";
        if (!full.AddLine(".ndb", line)) refused.push_back(line);
    }
    EXPECT_FALSE(full.AddLine(".ndb", "Late:0:*:5a5a5a5a(30|39)5a"));
    full.Seal();
    EXPECT_FALSE(refused.empty());
    EXPECT_EQ(refused.size() + 1, full.skippedLines[".ndb: more distinct byte classes than the engine holds"]);
    EXPECT_EQ("", Scan(Engine(full), "ZZZZ0Z").name);
}
