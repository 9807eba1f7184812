// Reading hex signatures and offsets into the matcher's elements.
#include "refengine/signatures/Signature.h"

#include "refengine/object/Fields.h"

#include <algorithm>
#include <cmath>


namespace RefEngine {
namespace {

// Runs of "??" longer than this become gaps, and exact gaps up to it become "??" inside a run: runs
// stay short to check, gaps cost nothing however long.
const uint64_t WildcardRunLimit = 8;
const uint64_t TrailingGapLimit = 64;  // bytes a gap at the end may ask for, as wildcards
const uint64_t MaxNumber = 1ull << 40;

bool ParseNumber(const std::string& text, uint64_t& out) { return ParseDecimal(text, out, 13) && out <= MaxNumber; }

// One byte position: "aa", "??", "a?" or "?a".
bool ParseByte(const std::string& hex, size_t at, ByteTest& out) {
    if (at + 1 >= hex.size()) return false;
    const char a = hex[at], b = hex[at + 1];
    const int high = HexDigit(a), low = HexDigit(b);
    if (a == '?' && b == '?') {
        out.value = 0;
        out.mask = 0;
    } else if (a == '?' && low >= 0) {
        out.value = static_cast<uint8_t>(low);
        out.mask = 0x0F;
    } else if (b == '?' && high >= 0) {
        out.value = static_cast<uint8_t>(high << 4);
        out.mask = 0xF0;
    } else if (high >= 0 && low >= 0) {
        out.value = static_cast<uint8_t>(high * 16 + low);
        out.mask = 0xFF;
    } else {
        return false;
    }
    return true;
}

bool ParseRun(const std::string& text, ByteRun& out) {
    if (text.empty() || text.size() % 2) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        ByteTest test;
        if (!ParseByte(text, i, test)) return false;
        out.push_back(test);
    }
    return true;
}

bool IsLetter(uint8_t b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

class Builder {
public:
    Builder(BodySignature& sig, size_t hexLength, bool nocase)
        : sig_(sig), runCapacity_(hexLength / 2 < 64 ? hexLength / 2 : 64), nocase_(nocase) {
        sig_.elements.clear();
        sig_.classes.clear();
        sig_.elements.reserve(4);
    }

    // A byte of the text: a letter of a signature that ignores case matches in either case.
    void TextByte(ByteTest test) { Byte(Folded(test)); }
    ByteTest Folded(ByteTest test) {
        if (nocase_ && test.Exact() && IsLetter(test.value)) {
            int16_t& letter = letterClasses_[(test.value | 0x20) - 'a'];
            if (letter < 0) {
                std::bitset<256> both;
                both.set(test.value).set(test.value ^ 0x20);
                letter = Class(both);
            }
            test.byteClass = letter;
        }
        return test;
    }
    bool IgnoresCase() const { return nocase_; }

    void Byte(const ByteTest& test) { OpenRun().push_back(test); }
    // Exact bytes, hex digits two a byte (the bulk of every base): decoded in one go.
    void ExactBytes(const char* hex, size_t count) {
        ByteRun& run = OpenRun();
        for (size_t k = 0; k < count; ++k) {
            ByteTest test;
            test.value = static_cast<uint8_t>(HexDigit(hex[2 * k]) << 4 | HexDigit(hex[2 * k + 1]));
            run.push_back(test);
        }
    }
    void Gap(uint64_t min, uint64_t max) {
        pendingMin_ += min;
        pendingMax_ = pendingMax_ == Unbounded || max == Unbounded ? Unbounded : pendingMax_ + max;
        gapPending_ = true;
    }
    ByteRun& OpenRun() {
        FlushGap();
        if (sig_.elements.empty() || sig_.elements.back().kind != Element::Run) {
            sig_.elements.emplace_back();
            sig_.elements.back().run.reserve(runCapacity_);  // one allocation, not one per doubling
        }
        return sig_.elements.back().run;
    }
    void Add(Element element) {
        FlushGap();
        sig_.elements.push_back(std::move(element));
    }
    int16_t Class(const std::bitset<256>& bytes) {
        if (sig_.classes.empty()) sig_.classes.reserve(8);  // not one allocation per doubling
        sig_.classes.push_back(bytes);
        return static_cast<int16_t>(sig_.classes.size() - 1);
    }
    bool Finish() {
        // A gap at the end asks for that many bytes after the rest (its least): they are wildcards.
        if (gapPending_) {
            if (pendingMin_ == 0 || pendingMin_ > TrailingGapLimit) return false;
            const uint64_t count = pendingMin_;
            gapPending_ = false;
            pendingMin_ = pendingMax_ = 0;
            ByteRun& run = OpenRun();
            for (uint64_t i = 0; i < count; ++i) run.push_back(ByteTest{0, 0, -1});
        }
        ShortenWildcardRuns();
        if (sig_.elements.empty() || sig_.elements.front().kind == Element::Gap) return false;
        return ChooseAnchor();
    }

private:
    void FlushGap() {
        if (!gapPending_) return;
        gapPending_ = false;
        const uint64_t min = pendingMin_, max = pendingMax_;
        pendingMin_ = pendingMax_ = 0;
        if (min == max && max <= WildcardRunLimit) {
            for (uint64_t i = 0; i < min; ++i) Byte(ByteTest{0, 0, -1});
            return;
        }
        Element gap;
        gap.kind = Element::Gap;
        gap.min = min;
        gap.max = max;
        sig_.elements.push_back(gap);
    }
    // A long stretch of "??" inside a run is a gap of that many bytes.
    void ShortenWildcardRuns() {
        bool any = false;  // most signatures have none: then nothing is copied
        for (const Element& element : sig_.elements) {
            size_t wild = 0;
            for (const ByteTest& t : element.run) {
                wild = t.mask == 0 && t.byteClass < 0 ? wild + 1 : 0;
                any = any || wild > WildcardRunLimit;
            }
        }
        if (!any) return;
        std::vector<Element> out;
        for (Element& element : sig_.elements) {
            if (element.kind != Element::Run) {
                out.push_back(std::move(element));
                continue;
            }
            Element current;
            size_t i = 0;
            const ByteRun& run = element.run;
            while (i < run.size()) {
                size_t j = i;
                while (j < run.size() && run[j].mask == 0 && run[j].byteClass < 0) ++j;
                if (j - i > WildcardRunLimit && i > 0 && j < run.size()) {
                    out.push_back(current);
                    current = Element();
                    Element gap;
                    gap.kind = Element::Gap;
                    gap.min = gap.max = j - i;
                    out.push_back(gap);
                    i = j;
                    continue;
                }
                for (size_t k = i; k < (j > i ? j : i + 1); ++k) current.run.push_back(run[k]);
                i = j > i ? j : i + 1;
            }
            out.push_back(current);
        }
        // Neighbouring gaps made by that become one.
        sig_.elements.clear();
        for (Element& element : out) {
            if (element.kind == Element::Gap && !sig_.elements.empty() && sig_.elements.back().kind == Element::Gap) {
                Element& last = sig_.elements.back();
                last.min += element.min;
                last.max = last.max == Unbounded || element.max == Unbounded ? Unbounded : last.max + element.max;
            } else {
                sig_.elements.push_back(std::move(element));
            }
        }
    }
    // Of the stretches of bytes that are exact (but for case), the one of at most MaxAnchor bytes least
    // likely to turn up in ordinary files. Its first four bytes weigh twice: the filter looks them up
    // at every position. Anchors under four bytes are checked at every position: they weigh less.
    bool ChooseAnchor() {
        double best = 0;
        sig_.anchorLength = 0;
        // Kept from signature to signature: a base holds hundreds of thousands.
        static thread_local std::vector<int> keys;
        static thread_local std::vector<double> sums;  // sums[j]: the surprise of the stretch's bytes before j
        for (size_t e = 0; e < sig_.elements.size(); ++e) {
            const Element& element = sig_.elements[e];
            if (element.kind != Element::Run) continue;
            keys.clear();
            for (const ByteTest& test : element.run) keys.push_back(FoldedByte(test, sig_.classes));
            for (size_t a = 0, b = 0; a < keys.size(); a = b + 1) {
                // A stretch [a, b) of exact bytes; every start in it, each as long as it may be.
                for (b = a; b < keys.size() && keys[b] >= 0; ++b) {}
                sums.assign(1, 0.0);
                for (size_t j = a; j < b; ++j)
                    // A byte after the same byte is no surprise: runs of one value are common.
                    sums.push_back(sums.back() + (j > a && keys[j - 1] == keys[j] ? 0.5 : SurpriseBits(static_cast<uint8_t>(keys[j]))));
                for (size_t start = a; start < b; ++start) {
                    const size_t end = std::min(start + MaxAnchor, b), four = std::min(start + 4, end);
                    auto between = [&](size_t from, size_t to) { return sums[to - a] - sums[from - a]; };
                    const double first = SurpriseBits(static_cast<uint8_t>(keys[start]));
                    const double score = 2 * (first + between(start + 1, four)) + between(four, end);
                    const size_t length = end - start;
                    const double weighed = length < 4 ? score - 4.0 * static_cast<double>(4 - length) : score;
                    if (weighed > best || sig_.anchorLength == 0) {
                        best = weighed;
                        sig_.anchorElement = e;
                        sig_.anchorPosition = start;
                        sig_.anchorLength = length;
                    }
                }
            }
        }
        return sig_.anchorLength > 0;
    }

    BodySignature& sig_;
    size_t runCapacity_;
    bool nocase_;
    int16_t letterClasses_[26] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};
    bool gapPending_ = false;
    uint64_t pendingMin_ = 0, pendingMax_ = 0;
};

// "(aa|bb|cc)" or "!(aa|bb)" starting at at; the index after it.
bool ParseChoice(const std::string& hex, size_t& at, bool negated, Builder& builder) {
    const size_t close = hex.find(')', at);
    if (close == std::string::npos) return false;
    const std::string inside = hex.substr(at + 1, close - at - 1);
    at = close + 1;
    if (inside == "B" || inside == "L") {
        if (negated) return false;
        Element boundary;
        boundary.kind = Element::Boundary;
        boundary.boundary = inside[0];
        builder.Add(boundary);
        return true;
    }
    if (inside == "W") {  // a byte that is not an ASCII letter or digit
        if (negated) return false;
        std::bitset<256> bytes;
        for (int b = 0; b < 256; ++b) bytes.set(static_cast<size_t>(b), !IsLetter(static_cast<uint8_t>(b)) && (b < '0' || b > '9'));
        ByteTest test;
        test.byteClass = builder.Class(bytes);
        builder.Byte(test);
        return true;
    }
    std::vector<ByteRun> options;
    size_t start = 0;
    for (;;) {
        const size_t bar = inside.find('|', start);
        ByteRun option;
        if (!ParseRun(inside.substr(start, bar == std::string::npos ? std::string::npos : bar - start), option))
            return false;
        options.push_back(option);
        if (bar == std::string::npos) break;
        start = bar + 1;
    }
    if (options.size() < 2 && !negated) return false;
    bool singleBytes = true;
    for (const ByteRun& option : options) singleBytes = singleBytes && option.size() == 1;
    if (singleBytes) {
        std::bitset<256> bytes;
        for (const ByteRun& option : options) {
            for (int b = 0; b < 256; ++b)
                if ((b & option[0].mask) == option[0].value) bytes.set(b);
            if (builder.IgnoresCase() && option[0].Exact() && IsLetter(option[0].value)) bytes.set(option[0].value ^ 0x20);
        }
        if (negated) bytes.flip();
        ByteTest test;
        test.byteClass = builder.Class(bytes);
        builder.Byte(test);
        return true;
    }
    // A negated choice of strings stands for as many bytes as each of them: they must be as long.
    if (negated)
        for (const ByteRun& option : options)
            if (option.size() != options.front().size()) return false;
    for (ByteRun& option : options)
        for (ByteTest& test : option) test = builder.Folded(test);
    Element choice;
    choice.kind = Element::Choice;
    choice.options = options;
    choice.negated = negated;
    builder.Add(choice);
    return true;
}

}  // namespace

double SurpriseBits(uint8_t byte) {
    struct Table {
        double bits[256];
        Table() {
            for (int b = 0; b < 256; ++b) bits[b] = -std::log2(Commonness(static_cast<uint8_t>(b)));
        }
    };
    static const Table table;
    return table.bits[byte];
}

double Surprise(const uint8_t* bytes, size_t n) {
    double bits = 0;
    for (size_t i = 0; i < n; ++i) bits += i > 0 && bytes[i - 1] == bytes[i] ? 0.5 : SurpriseBits(bytes[i]);
    return bits;
}

int CaseLetter(const std::bitset<256>& bytes) {
    if (bytes.count() != 2) return -1;
    for (int upper = 'A'; upper <= 'Z'; ++upper)
        if (bytes.test(static_cast<size_t>(upper)) && bytes.test(static_cast<size_t>(upper | 0x20))) return upper | 0x20;
    return -1;
}

int FoldedByte(const ByteTest& test, const std::vector<std::bitset<256>>& classes) {
    if (test.byteClass < 0) return test.mask == 0xFF ? FoldCase(test.value) : -1;
    return CaseLetter(classes[static_cast<size_t>(test.byteClass)]);
}

bool ParseHexSignature(const std::string& hex, BodySignature& out, bool nocase) {
    Builder builder(out, hex.size(), nocase);
    for (size_t i = 0; i < hex.size();) {
        const char c = hex[i];
        if (c == '*') {
            builder.Gap(0, Unbounded);
            ++i;
        } else if (c == '{' || c == '[') {
            const size_t close = hex.find(c == '{' ? '}' : ']', i);
            if (close == std::string::npos) return false;
            const std::string inside = hex.substr(i + 1, close - i - 1);
            const size_t dash = inside.find('-');
            uint64_t a = 0, b = 0;
            if (dash == std::string::npos) {
                if (c == '[' || !ParseNumber(inside, a)) return false;
                builder.Gap(a, a);
            } else if (dash == 0) {
                if (c == '[' || !ParseNumber(inside.substr(1), b)) return false;
                builder.Gap(0, b);
            } else if (dash + 1 == inside.size()) {
                if (c == '[' || !ParseNumber(inside.substr(0, dash), a)) return false;
                builder.Gap(a, Unbounded);
            } else {
                if (!ParseNumber(inside.substr(0, dash), a) || !ParseNumber(inside.substr(dash + 1), b) || b < a)
                    return false;
                builder.Gap(a, b);
            }
            i = close + 1;
        } else if (c == '(' || (c == '!' && i + 1 < hex.size() && hex[i + 1] == '(')) {
            const bool negated = c == '!';
            i += negated ? 1 : 0;
            if (!ParseChoice(hex, i, negated, builder)) return false;
        } else if (!builder.IgnoresCase()) {
            // A stretch of exact bytes, then whatever byte ends it.
            size_t end = i;
            while (end + 1 < hex.size() && HexDigit(hex[end]) >= 0 && HexDigit(hex[end + 1]) >= 0) end += 2;
            if (end > i) {
                builder.ExactBytes(hex.data() + i, (end - i) / 2);
                i = end;
                continue;
            }
            ByteTest test;
            if (!ParseByte(hex, i, test)) return false;
            builder.Byte(test);
            i += 2;
        } else {
            ByteTest test;
            if (!ParseByte(hex, i, test)) return false;
            builder.TextByte(test);
            i += 2;
        }
    }
    return builder.Finish();
}

bool ParseOffset(const std::string& whole, Offset& out) {
    out = Offset();
    std::string text = whole;
    const size_t comma = text.find(',');
    if (comma != std::string::npos) {
        if (!ParseNumber(text.substr(comma + 1), out.shift)) return false;
        text = text.substr(0, comma);
        if (text == "*") return false;
    }
    uint64_t n = 0;
    if (text == "*") return true;
    if (text.compare(0, 4, "EOF-") == 0) {
        out.kind = Offset::FromEnd;
        if (!ParseNumber(text.substr(4), n)) return false;
        out.value = static_cast<int64_t>(n);
        return true;
    }
    if (text.compare(0, 3, "EP+") == 0 || text.compare(0, 3, "EP-") == 0) {
        out.kind = Offset::EntryPoint;
        if (!ParseNumber(text.substr(3), n)) return false;
        out.value = text[2] == '+' ? static_cast<int64_t>(n) : -static_cast<int64_t>(n);
        return true;
    }
    if (text.compare(0, 3, "SL+") == 0) {
        out.kind = Offset::LastSection;
        if (!ParseNumber(text.substr(3), n)) return false;
        out.value = static_cast<int64_t>(n);
        return true;
    }
    if (text.compare(0, 2, "SE") == 0) {
        out.kind = Offset::SectionEnd;
        if (!ParseNumber(text.substr(2), n) || n > 0xFFFF) return false;
        out.section = static_cast<uint32_t>(n);
        return true;
    }
    if (text.size() > 1 && text[0] == 'S') {
        const size_t plus = text.find('+');
        uint64_t section = 0;
        if (plus == std::string::npos || !ParseNumber(text.substr(1, plus - 1), section) || section > 0xFFFF ||
            !ParseNumber(text.substr(plus + 1), n))
            return false;
        out.kind = Offset::SectionStart;
        out.section = static_cast<uint32_t>(section);
        out.value = static_cast<int64_t>(n);
        return true;
    }
    out.kind = Offset::FromStart;
    if (!ParseNumber(text, n)) return false;
    out.value = static_cast<int64_t>(n);
    return true;
}

}  // namespace RefEngine
