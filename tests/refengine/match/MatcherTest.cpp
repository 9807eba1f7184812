// The body matcher against a plain reference search: generated signatures of every element kind, on
// generated data, with matches at the first and last byte and across the reading chunks and pages.
#include "refengine/match/Matcher.h"
#include "refengine/core/Scanner.h"
#include "tests/refengine/Hex.h"
#include "tests/support/Sandbox.h"

#include <gtest/gtest.h>

#include <random>

using namespace RefEngine;

namespace {

// Does the signature match with its first element at start? Plain backtracking: fine for small data.
bool MatchesFrom(const BodySignature& sig, const std::string& data, size_t element, uint64_t at) {
    if (element == sig.elements.size()) return true;
    const Element& e = sig.elements[element];
    auto runAt = [&](const ByteRun& run, uint64_t p) {
        if (p + run.size() > data.size()) return false;
        for (size_t i = 0; i < run.size(); ++i) {
            const uint8_t b = static_cast<uint8_t>(data[p + i]);
            const ByteTest& t = run[i];
            if (t.byteClass >= 0 ? !sig.classes[t.byteClass].test(b) : (b & t.mask) != t.value) return false;
        }
        return true;
    };
    switch (e.kind) {
    case Element::Run:
        return runAt(e.run, at) && MatchesFrom(sig, data, element + 1, at + e.run.size());
    case Element::Choice:
        for (const ByteRun& option : e.options)
            if (runAt(option, at) && MatchesFrom(sig, data, element + 1, at + option.size())) return true;
        return false;
    case Element::Gap:
        for (uint64_t n = e.min; at + n <= data.size() && (e.max == Unbounded || n <= e.max); ++n)
            if (MatchesFrom(sig, data, element + 1, at + n)) return true;
        return false;
    case Element::Boundary:
        return MatchesFrom(sig, data, element + 1, at);  // not generated here
    }
    return false;
}

bool ReferenceFinds(const BodySignature& sig, const std::string& data) {
    ObjectInfo info;
    info.size = data.size();
    uint64_t first = 0, last = 0;
    if (!ResolveOffset(sig.offset, info, first, last)) return false;
    for (uint64_t start = first; start < data.size() && start <= last; ++start)
        if (MatchesFrom(sig, data, 0, start)) return true;
    return false;
}

class Generator {
public:
    explicit Generator(unsigned seed) : random_(seed) {}
    int Below(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }
    std::string Bytes(int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += static_cast<char>(alphabet_[Below(static_cast<int>(alphabet_.size()))]);
        return s;
    }
    static std::string Hex(const std::string& bytes) { return TestSupport::Hex(bytes); }
    // A signature's text and one string that it matches.
    std::pair<std::string, std::string> Signature() {
        std::string hex, sample;
        const int parts = 1 + Below(4);
        for (int p = 0; p < parts; ++p) {
            const std::string fixed = Bytes(2 + Below(6));
            hex += Hex(fixed);
            sample += fixed;
            if (p + 1 == parts) break;
            switch (Below(7)) {
            case 0: hex += "??"; sample += Bytes(1); break;
            case 1: hex += "*"; sample += Bytes(Below(20)); break;
            case 2: { const int n = Below(12); hex += "{" + std::to_string(n) + "}"; sample += Bytes(n); break; }
            case 3: { const int n = Below(5), m = n + Below(5); hex += "{" + std::to_string(n) + "-" + std::to_string(m) + "}"; sample += Bytes(n + Below(m - n + 1)); break; }
            case 4: { const std::string a = Bytes(1), b = Bytes(2); hex += "(" + Hex(a) + "|" + Hex(b) + ")"; sample += Below(2) ? a : b; break; }
            case 5: { const std::string a = Bytes(1); hex += Hex(a).substr(0, 1) + "?"; sample += a; break; }
            default: { const std::string a = Bytes(1), b = Bytes(1); hex += "(" + Hex(a) + "|" + Hex(b) + ")"; sample += Below(2) ? a : b; break; }
            }
        }
        return {hex, sample};
    }

private:
    std::mt19937 random_;
    // Few distinct bytes, so that near misses and shared prefixes are common.
    const std::string alphabet_ = "ABCDabcd\x01\x02";
};

std::string Scan(const Engine& engine, const std::string& data) {
    MemorySource source(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    const Detection found = engine.Scan(source, L"x", nullptr, nullptr);
    return found.found ? found.name : found.incomplete ? "(incomplete)" : "";
}

}  // namespace

TEST(Matcher, AgreesWithAReferenceSearchOnGeneratedSignatures) {
    Generator gen(20261207);
    int agreed = 0, matched = 0;
    for (int round = 0; round < 3000; ++round) {
        const auto sig = gen.Signature();
        const char* offsets[] = {"*", "*", "*", "0", "3", "EOF-40", "2,5"};
        const std::string offset = offsets[gen.Below(7)];
        Database db;
        ASSERT_TRUE(db.AddLine(".ndb", "Gen:0:" + offset + ":" + sig.first)) << sig.first;
        const Engine engine(db);
        // The sample, somewhere or nowhere, in data made of the same few bytes.
        std::string data = gen.Bytes(gen.Below(60));
        if (gen.Below(2)) data.insert(gen.Below(static_cast<int>(data.size()) + 1), sig.second);
        const bool expected = ReferenceFinds(db.bodies.Expand(0), data);
        EXPECT_EQ(expected ? "Gen" : "", Scan(engine, data)) << sig.first << " at " << offset << " in " << Generator::Hex(data);
        agreed += 1;
        matched += expected;
    }
    EXPECT_GT(matched, 600) << "the cases must exercise matches too";
}

// The same, with a stretch of a byte the signatures do not use somewhere in the data, longer than
// the reading chunk: the blocks after a "*" lie a chunk or two after their anchors.
TEST(Matcher, AgreesWithAReferenceSearchAcrossChunks) {
    Generator gen(20261208);
    int matched = 0;
    for (int round = 0; round < 150; ++round) {
        auto sig = gen.Signature();
        while (sig.first.find('*') == std::string::npos) sig = gen.Signature();
        Database db;
        ASSERT_TRUE(db.AddLine(".ndb", "Gen:0:*:" + sig.first)) << sig.first;
        const Engine engine(db);
        std::string data = gen.Bytes(gen.Below(30)) + sig.second + gen.Bytes(gen.Below(30));
        data.insert(gen.Below(static_cast<int>(data.size()) + 1), std::string((1 << 20) + gen.Below(1 << 20), '\xEE'));
        const bool expected = ReferenceFinds(db.bodies.Expand(0), data);
        EXPECT_EQ(expected ? "Gen" : "", Scan(engine, data)) << sig.first;
        matched += expected;
    }
    EXPECT_GT(matched, 40) << "the cases must exercise matches too";
}

TEST(Matcher, ManySignaturesAtOnceFindOnlyTrueMatches) {
    Generator gen(7);
    Database db;
    std::vector<std::string> samples;
    for (int i = 0; i < 3000; ++i) {
        const auto sig = gen.Signature();
        ASSERT_TRUE(db.AddLine(".ndb", "Many." + std::to_string(i) + ":0:*:" + sig.first));
        samples.push_back(sig.second);
    }
    const Engine engine(db);
    for (int round = 0; round < 300; ++round) {
        std::string data = gen.Bytes(200);
        const int planted = gen.Below(static_cast<int>(samples.size()));
        if (round % 2) data.insert(gen.Below(201), samples[planted]);
        const std::string found = Scan(engine, data);
        bool anyTrue = false;
        for (size_t s = 0; s < db.bodies.Size(); ++s) anyTrue = anyTrue || ReferenceFinds(db.bodies.Expand(s), data);
        if (found.empty()) {
            EXPECT_FALSE(anyTrue) << Generator::Hex(data);
        } else {
            ASSERT_NE("(incomplete)", found);
            EXPECT_TRUE(ReferenceFinds(db.bodies.Expand(std::stoul(found.substr(5))), data)) << found << " in " << Generator::Hex(data);
        }
    }
}

// A large set of long anchors, many sharing their first four or eight bytes: every planted anchor is
// found, and an anchor with one byte changed is not (unless another signature truly matches).
TEST(Matcher, LargeSetsOfLongAnchorsFindEachOneAndNoNearMiss) {
    std::mt19937 random(99);
    auto bytes = [&](size_t n) {
        std::string s;
        for (size_t i = 0; i < n; ++i) s += static_cast<char>(random() & 0xFF);
        return s;
    };
    Database db;
    std::vector<std::string> anchors;
    for (int i = 0; i < 20000; ++i) {
        const size_t length = 4 + random() % 21;
        std::string anchor = bytes(length);
        if (i % 5 == 1) anchor.replace(0, std::min<size_t>(4, length), anchors[random() % anchors.size()].substr(0, 4));
        if (i % 5 == 2) anchor.replace(0, std::min<size_t>(8, length), anchors[random() % anchors.size()].substr(0, std::min<size_t>(8, length)));
        anchor.resize(length);
        ASSERT_TRUE(db.AddLine(".ndb", "Long." + std::to_string(i) + ":0:*:" + Generator::Hex(anchor)));
        anchors.push_back(anchor);
    }
    const Engine engine(db);
    auto truly = [&](const std::string& found, const std::string& data) {
        return found.compare(0, 5, "Long.") == 0 && ReferenceFinds(db.bodies.Expand(std::stoul(found.substr(5))), data);
    };
    for (int round = 0; round < 2000; ++round) {
        const std::string& anchor = anchors[random() % anchors.size()];
        std::string data = bytes(random() % 100);
        data.insert(random() % (data.size() + 1), anchor);
        const std::string found = Scan(engine, data);
        EXPECT_TRUE(truly(found, data)) << found << " in " << Generator::Hex(data);
        std::string nearMiss = anchor;
        nearMiss[random() % nearMiss.size()] ^= static_cast<char>(1 + random() % 255);
        const std::string missed = Scan(engine, nearMiss);
        EXPECT_TRUE(missed.empty() || truly(missed, nearMiss)) << missed << " in " << Generator::Hex(nearMiss);
    }
}

// Anchors are grouped by their first four bytes; a short anchor padded to look the same sorts among them.
TEST(Matcher, AShortAnchorAmongLongOnesOfTheSameFirstBytes) {
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", "Short:0:*:4142"));
    for (int i = 0; i < 12; ++i)
        ASSERT_TRUE(db.AddLine(".ndb", "Long" + std::to_string(i) + ":0:*:41420000" + Generator::Hex(std::string(4, static_cast<char>('a' + i)))));
    const Engine engine(db);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ("Long" + std::to_string(i), Scan(engine, std::string("--AB\0\0", 6) + std::string(4, static_cast<char>('a' + i))));
}

TEST(Matcher, MatchesAtTheEdgesAndAcrossChunksAndPages) {
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", "Edge.Body:0:*:" + Generator::Hex("EDGEBODY") + "{2}" + Generator::Hex("TAIL")));
    ASSERT_TRUE(db.AddLine(".ndb", "Two:0:*:" + Generator::Hex("Q7") + "??" + Generator::Hex("Z")));
    const Engine engine(db);
    const std::string body = "EDGEBODY..TAIL";
    EXPECT_EQ("Edge.Body", Scan(engine, body)) << "the whole object";
    EXPECT_EQ("Edge.Body", Scan(engine, body + "x"));
    EXPECT_EQ("Edge.Body", Scan(engine, "x" + body));
    EXPECT_EQ("", Scan(engine, body.substr(0, body.size() - 1)));
    EXPECT_EQ("Two", Scan(engine, "Q7-Z")) << "a short anchor at the first byte";
    EXPECT_EQ("Two", Scan(engine, "......Q7-Z")) << "and at the last";

    // A file, read in pages of 64 KiB and chunks of 1 MiB: matches that straddle both.
    TestSupport::ScratchFolder folder;
    for (uint64_t boundary : {65536ull, 1048576ull, 2ull * 1048576ull}) {
        for (uint64_t back = 1; back < body.size(); back += 3) {
            std::string data(boundary + 4096, '.');
            data.replace(static_cast<size_t>(boundary - back), body.size(), body);
            const std::wstring path = folder / L"straddle.bin";
            TestSupport::WriteFile(path, data);
            HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            FileSource source(file);
            const Detection found = engine.Scan(source, path, nullptr, nullptr);
            ::CloseHandle(file);
            EXPECT_TRUE(found.found) << boundary << " - " << back;
            EXPECT_EQ(boundary - back, found.matchStart);
        }
    }
}

// The search for a block after "*" goes only as far as the candidate's work allows, even in a view as
// long as the object: a start within reach is found, one beyond it leaves the object incomplete.
TEST(Matcher, TheSearchAfterAGapEndsWhereTheWorkDoes) {
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", "Split:0:*:" + Generator::Hex("ANCHOR") + "*" + Generator::Hex("TAIL")));
    Budgets budgets;
    budgets.perCandidate = 1024;  // some 16 KiB of searching
    budgets.searchPasses = 0;
    const Engine engine(db, budgets);
    const std::string after(4 << 20, 'x');
    EXPECT_EQ("Split", Scan(engine, "ANCHOR" + std::string(8 << 10, 'x') + "TAIL" + after));
    EXPECT_EQ("(incomplete)", Scan(engine, "ANCHOR" + std::string(1 << 20, 'x') + "TAIL" + after));
}

// A large page full of the start of a block with bounded gaps ("set {-150}erase") is searched in what
// the object may spend: the block's tries, and the stretches after its gaps, cost as a search does.
TEST(Matcher, CommonStartsOfAGappedBlockDoNotExhaustTheCandidate) {
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", "Gapped:0:*:" + Generator::Hex("<script>") + "*" + Generator::Hex("set ") + "{-150}" +
                                       Generator::Hex("erase") + "{-150}" + Generator::Hex("sub ") + "*" + Generator::Hex("</script>")));
    const Engine engine(db);
    std::string page = "<script>";
    while (page.size() < (8u << 20)) page += "<p>Which settings are kept: set them once, in the dialog that opens, and they stay.</p>\n";
    EXPECT_EQ("", Scan(engine, page + "</script>"));
    EXPECT_EQ("Gapped", Scan(engine, page + "set it, erase it, sub it</script>"));
}

// A candidate whose block after "*" lies chunks ahead waits for the scan to read it, and keeps its
// place: it decides before the candidates after it, found, not found or out of work.
TEST(Matcher, ACandidateWaitingForLaterBytesKeepsItsPlace) {
    auto engineWith = [](const Budgets& budgets) {
        auto db = std::make_shared<Database>();
        EXPECT_TRUE(db->AddLine(".ndb", "Far:0:*:" + Generator::Hex("FAR-ANCHOR") + "*" + Generator::Hex("FAR-TAIL")));
        EXPECT_TRUE(db->AddLine(".ndb", "Near:0:*:" + Generator::Hex("NEAR-BODY")));
        EXPECT_TRUE(db->AddLine(".ldb", "Logical;Target:0;0;" + Generator::Hex("SUB-PART")));
        return std::make_pair(db, std::make_shared<Engine>(*db, budgets));
    };
    const auto engine = engineWith(Budgets());
    std::string data(3 << 20, '.');
    data.replace(100, 10, "FAR-ANCHOR");
    data.replace(200, 9, "NEAR-BODY");
    data.replace(300, 8, "SUB-PART");
    std::string withTail = data;
    withTail.replace(5 << 19, 8, "FAR-TAIL");
    EXPECT_EQ("Far", Scan(*engine.second, withTail)) << "found two chunks on, before the matches after its anchor";
    EXPECT_EQ("Near", Scan(*engine.second, data)) << "no tail: the next candidate decides";

    Budgets tight;
    tight.perCandidate = 1024;  // some 16 KiB of searching
    tight.searchPasses = 0;
    const auto cut = engineWith(tight);
    EXPECT_EQ("Near", Scan(*cut.second, withTail)) << "out of work: a later match still counts";
    data.replace(200, 9, "---------");
    EXPECT_EQ("Logical", Scan(*cut.second, data));
    EXPECT_EQ("Far", Scan(*engine.second, withTail.replace(200, 9, "---------"))) << "the subsignature after it waits too";

    // The second anchor's block ends before the first one's (a shorter alternative): its search
    // starts earlier and finds what the first one, waiting, does not.
    Database varying;
    ASSERT_TRUE(varying.AddLine(".ndb", "Varying:0:*:" + Generator::Hex("ANCHOR") + "(" + Generator::Hex("ANCHORSZQQ") + "|" +
                                            Generator::Hex("S") + ")" + Generator::Hex("Z") + "*" + Generator::Hex("QZ")));
    EXPECT_EQ("Varying", Scan(Engine(varying), "ANCHORANCHORSZQQZ" + std::string(3 << 20, '.')));

    // Many waiting at once, the pairs that begin their blocks near misses all along.
    Database many;
    for (int i = 0; i < 40; ++i)
        ASSERT_TRUE(many.AddLine(".ndb", "Sig" + std::to_string(i) + ":0:*:" + Generator::Hex("anchor-" + std::to_string(10 + i)) + "*" +
                                             Generator::Hex(std::string("T") + static_cast<char>('A' + i) + "-tail")));
    std::string crowd(3 << 20, '.');
    for (int i = 0; i < 40; ++i) crowd.replace(100 + 20 * i, 9, "anchor-" + std::to_string(10 + i));
    for (size_t at = 1 << 20; at < (5 << 19); at += 999)
        for (int i = 0; i < 40; i += 5) crowd.replace(at + 7 * (i / 5), 6, std::string("T") + static_cast<char>('A' + i) + "-tai");
    crowd.replace((5 << 19) + 500, 7, "TZ-tail");
    crowd.replace((5 << 19) + 600, 7, "TK-tail");
    MemorySource source(reinterpret_cast<const uint8_t*>(crowd.data()), crowd.size());
    const Detection found = Engine(many).Scan(source, L"x", nullptr, nullptr);
    EXPECT_EQ("Sig10", found.name) << "the earlier anchor decides, though its block lies further on";
    EXPECT_EQ(300u, found.matchStart);
}

// Long runs of one byte value, and blocks after a "*" that begin with a choice or a wildcard, are
// searched for by their rarest bytes: ordinary files never come near a work limit.
TEST(Matcher, RunsOfOneByteAndLooseBlockStartsCostLittle) {
    Database db;
    ASSERT_TRUE(db.AddLine(".ndb", "Zeros:0:*:" + Generator::Hex("ZERO-HEAD") + "*000000ff4546"));
    ASSERT_TRUE(db.AddLine(".ndb", "Loose:0:*:41424344*(45|46)4748"));
    ASSERT_TRUE(db.AddLine(".ndb", "Wild:0:*:" + Generator::Hex("WILD-HEAD") + "*??4?" + Generator::Hex("xy")));
    const Engine engine(db);
    const std::string zeros(256 << 10, '\0');
    EXPECT_EQ("Zeros", Scan(engine, "ZERO-HEAD" + zeros + std::string("\0\0\0\xff" "EF", 6)));
    EXPECT_EQ("", Scan(engine, "ZERO-HEAD" + zeros));
    EXPECT_EQ("Loose", Scan(engine, "ABCD" + std::string(200000, '\0') + "EGH"));
    EXPECT_EQ("", Scan(engine, "ABCD" + std::string(200000, '\0')));
    EXPECT_EQ("Wild", Scan(engine, "WILD-HEAD" + std::string(300000, 'A') + "-Axy"));
    EXPECT_EQ("", Scan(engine, "WILD-HEAD" + std::string(300000, 'A')));
    EXPECT_LT(engine.BusiestObject().share, 100000u) << "under a tenth of any limit: " << engine.BusiestObject().text;
}
