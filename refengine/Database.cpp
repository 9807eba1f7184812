// Reading signature bases.
#include "refengine/Database.h"

#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace RefEngine {
namespace {

// Exact gaps up to this size become wildcard bytes inside one segment.
const uint64_t FoldedGap = 64;
const size_t MaxAnchor = 16;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseNumber(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    out = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

bool ParseDigest(const std::string& text, std::vector<uint8_t>& out) {
    if (text.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int high = HexDigit(text[i]), low = HexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<uint8_t>(high * 16 + low));
    }
    return true;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, separator)) fields.push_back(field);
    if (!line.empty() && line.back() == separator) fields.push_back(std::string());
    return fields;
}

void ChooseAnchor(BodySignature& sig) {
    sig.anchorLength = 0;
    for (size_t s = 0; s < sig.segments.size(); ++s) {
        const Segment& segment = sig.segments[s];
        size_t run = 0;
        for (size_t i = 0; i <= segment.Length(); ++i) {
            if (i < segment.Length() && !segment.wildcard[i]) {
                ++run;
                continue;
            }
            if (run > sig.anchorLength) {
                sig.anchorSegment = s;
                sig.anchorOffset = i - run;
                sig.anchorLength = run;
            }
            run = 0;
        }
    }
    if (sig.anchorLength > MaxAnchor) sig.anchorLength = MaxAnchor;
}

}  // namespace

bool ParseHexSignature(const std::string& hex, BodySignature& out) {
    out.segments.assign(1, Segment());
    out.gaps.clear();
    Gap pending = {0, 0};
    bool gapPending = false;
    auto closeGap = [&]() {
        if (!gapPending) return true;
        Segment& last = out.segments.back();
        if (last.Length() == 0) return false;  // a gap at the start, or two segments without bytes
        if (pending.min == pending.max && pending.max <= FoldedGap) {
            last.bytes.insert(last.bytes.end(), static_cast<size_t>(pending.min), 0);
            last.wildcard.insert(last.wildcard.end(), static_cast<size_t>(pending.min), true);
        } else {
            out.gaps.push_back(pending);
            out.segments.push_back(Segment());
        }
        gapPending = false;
        pending = {0, 0};
        return true;
    };
    auto addGap = [&](uint64_t min, uint64_t max) {
        pending.min += min;
        pending.max = (pending.max == Unbounded || max == Unbounded) ? Unbounded : pending.max + max;
        gapPending = true;
    };
    for (size_t i = 0; i < hex.size();) {
        const char c = hex[i];
        if (c == '*') {
            addGap(0, Unbounded);
            ++i;
        } else if (c == '{') {
            const size_t close = hex.find('}', i);
            if (close == std::string::npos) return false;
            const std::string inside = hex.substr(i + 1, close - i - 1);
            const size_t dash = inside.find('-');
            uint64_t a = 0, b = 0;
            if (dash == std::string::npos) {
                if (!ParseNumber(inside, a)) return false;
                addGap(a, a);
            } else if (dash == 0) {
                if (!ParseNumber(inside.substr(1), b)) return false;
                addGap(0, b);
            } else if (dash + 1 == inside.size()) {
                if (!ParseNumber(inside.substr(0, dash), a)) return false;
                addGap(a, Unbounded);
            } else {
                if (!ParseNumber(inside.substr(0, dash), a) || !ParseNumber(inside.substr(dash + 1), b) || b < a)
                    return false;
                addGap(a, b);
            }
            i = close + 1;
        } else if (i + 1 < hex.size() && c == '?' && hex[i + 1] == '?') {
            if (!closeGap()) return false;
            out.segments.back().bytes.push_back(0);
            out.segments.back().wildcard.push_back(true);
            i += 2;
        } else {
            const int high = HexDigit(c), low = i + 1 < hex.size() ? HexDigit(hex[i + 1]) : -1;
            if (high < 0 || low < 0) return false;  // alternatives, nibbles, negations: not supported
            if (!closeGap()) return false;
            out.segments.back().bytes.push_back(static_cast<uint8_t>(high * 16 + low));
            out.segments.back().wildcard.push_back(false);
            i += 2;
        }
    }
    if (gapPending || out.segments.back().Length() == 0) return false;
    ChooseAnchor(out);
    return out.anchorLength > 0;
}

bool ParseOffset(const std::string& text, BodySignature& out) {
    if (text == "*") {
        out.offsetKind = OffsetKind::Anywhere;
        return true;
    }
    if (text.compare(0, 4, "EOF-") == 0) {
        out.offsetKind = OffsetKind::FromEnd;
        return ParseNumber(text.substr(4), out.offset);
    }
    out.offsetKind = OffsetKind::FromStart;
    return ParseNumber(text, out.offset);
}

bool Database::AddLine(const std::string& extension, const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty() || line[0] == '#') return true;
    if (extension == ".tvb") {
        const std::vector<std::string> f = Split(line, '|');
        BodySignature sig;
        if (f.size() != 4 || f[0].empty() || !ParseOffset(f[1], sig) || !ParseHexSignature(f[2], sig)) return false;
        if (f[3] == "truncate") sig.cure = CureKind::Truncate;
        else if (f[3] != "none") return false;
        sig.name = f[0];
        bodies.push_back(sig);
        return true;
    }
    if (extension == ".ndb") {
        const std::vector<std::string> f = Split(line, ':');
        BodySignature sig;
        if (f.size() < 4 || f.size() > 6 || f[0].empty() || f[1] != "0" || !ParseOffset(f[2], sig) ||
            !ParseHexSignature(f[3], sig))
            return false;
        sig.name = f[0];
        bodies.push_back(sig);
        return true;
    }
    if (extension == ".hdb" || extension == ".hsb") {
        const std::vector<std::string> f = Split(line, ':');
        HashSignature sig;
        if (f.size() < 3 || f.size() > 4 || f[2].empty() || !ParseDigest(f[0], sig.digest) || !ParseNumber(f[1], sig.size))
            return false;
        if (extension == ".hdb" && sig.digest.size() == 16) sig.kind = HashSignature::Md5;
        else if (extension == ".hsb" && sig.digest.size() == 20) sig.kind = HashSignature::Sha1;
        else if (extension == ".hsb" && sig.digest.size() == 32) sig.kind = HashSignature::Sha256;
        else return false;
        sig.name = f[2];
        hashes.push_back(sig);
        hashedSizes.insert(sig.size);
        return true;
    }
    return false;
}

void Database::LoadFolder(const std::wstring& folder) {
    for (const wchar_t* extension : {L".tvb", L".ndb", L".hdb", L".hsb"}) {
        WIN32_FIND_DATAW data;
        HANDLE find = ::FindFirstFileW((folder + L"\\*" + extension).c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) continue;
        std::string narrowExtension;
        for (const wchar_t* c = extension; *c; ++c) narrowExtension += static_cast<char>(*c);
        do {
            std::ifstream in((folder + L"\\" + data.cFileName).c_str(), std::ios::binary);
            std::string line;
            while (std::getline(in, line))
                if (!AddLine(narrowExtension, line)) ++skipped;
        } while (::FindNextFileW(find, &data));
        ::FindClose(find);
    }
}

}  // namespace RefEngine
