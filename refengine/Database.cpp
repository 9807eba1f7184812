// Reading signature bases.
#include "refengine/Database.h"

#include "framework/WinHandle.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace RefEngine {
namespace {

bool ParseNumber(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 18) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    out = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
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
    size_t start = 0;
    for (;;) {
        const size_t at = line.find(separator, start);
        fields.push_back(line.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return fields;
        start = at + 1;
    }
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

}  // namespace

void ForEachLine(const std::function<size_t(char*, size_t)>& read, size_t maxLength,
                 const std::function<void(const std::string&)>& line, uint32_t& overlong) {
    enum { Utf8, Utf16Le, Utf16Be } encoding = Utf8;
    std::vector<char> block(1u << 20);
    std::string current, decoded;
    bool skipping = false, afterCr = false, first = true;
    std::string pendingBytes;  // an odd byte of UTF-16 between blocks
    uint32_t highSurrogate = 0;
    auto endLine = [&] {
        if (skipping) ++overlong;
        else line(current);
        current.clear();
        skipping = false;
    };
    for (;;) {
        size_t got = read(block.data(), block.size());
        if (got == 0) break;
        const char* data = block.data();
        if (first) {
            first = false;
            const unsigned char* u = reinterpret_cast<const unsigned char*>(data);
            if (got >= 3 && u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF) {
                data += 3;
                got -= 3;
            } else if (got >= 2 && u[0] == 0xFF && u[1] == 0xFE) {
                encoding = Utf16Le;
                data += 2;
                got -= 2;
            } else if (got >= 2 && u[0] == 0xFE && u[1] == 0xFF) {
                encoding = Utf16Be;
                data += 2;
                got -= 2;
            }
        }
        const char* text = data;
        size_t length = got;
        if (encoding != Utf8) {
            decoded.clear();
            pendingBytes.append(data, got);
            size_t i = 0;
            for (; i + 1 < pendingBytes.size(); i += 2) {
                const unsigned char a = pendingBytes[i], b = pendingBytes[i + 1];
                const uint32_t unit = encoding == Utf16Le ? (a | (b << 8)) : ((a << 8) | b);
                if (unit >= 0xD800 && unit < 0xDC00) {
                    highSurrogate = unit;
                    continue;
                }
                if (unit >= 0xDC00 && unit < 0xE000 && highSurrogate) {
                    AppendUtf8(decoded, 0x10000 + ((highSurrogate - 0xD800) << 10) + (unit - 0xDC00));
                } else {
                    AppendUtf8(decoded, unit);
                }
                highSurrogate = 0;
            }
            pendingBytes.erase(0, i);
            text = decoded.data();
            length = decoded.size();
        }
        for (size_t i = 0; i < length; ++i) {
            const char c = text[i];
            if (c == '\n' && afterCr) {
                afterCr = false;
                continue;
            }
            afterCr = c == '\r';
            if (c == '\n' || c == '\r') {
                endLine();
                continue;
            }
            if (skipping) continue;
            if (current.size() >= maxLength) {
                skipping = true;
                current.clear();
                continue;
            }
            current += c;
        }
    }
    if (!current.empty() || skipping) endLine();
}

bool Database::AddLine(const std::string& extension, const std::string& raw) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.empty() || line[0] == '#') return true;
    if (extension == ".tvb") {
        const std::vector<std::string> f = Split(line, '|');
        BodySignature sig;
        if (f.size() != 4 || f[0].empty() || !ParseOffset(f[1], sig.offset) || !ParseHexSignature(f[2], sig))
            return false;
        if (f[3] == "truncate") sig.cure = CureKind::Truncate;
        else if (f[3] != "none") return false;
        sig.name = f[0];
        bodies.Add(sig);
        return true;
    }
    if (extension == ".ndb") {
        // Name:TargetType:Offset:HexSignature[:MinFL[:MaxFL]], without a string for every field.
        size_t colons[6], found = 0;
        for (size_t at = line.find(':'); at != std::string::npos && found < 6; at = line.find(':', at + 1)) colons[found++] = at;
        if (found < 3 || found > 5 || colons[0] == 0 || colons[1] != colons[0] + 2 || line[colons[0] + 1] != '0')
            return false;
        BodySignature& sig = scratch_;
        const size_t hexEnd = found > 3 ? colons[3] : line.size();
        if (!ParseOffset(line.substr(colons[1] + 1, colons[2] - colons[1] - 1), sig.offset) ||
            !ParseHexSignature(line.substr(colons[2] + 1, hexEnd - colons[2] - 1), sig))
            return false;
        // Until the engine reads PE files, offsets into them cannot be honoured.
        if (sig.offset.kind != Offset::Anywhere && sig.offset.kind != Offset::FromStart && sig.offset.kind != Offset::FromEnd)
            return false;
        sig.name.assign(line, 0, colons[0]);
        sig.target = 0;
        sig.cure = CureKind::None;
        bodies.Add(sig);
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

void Database::LoadFile(const std::wstring& path, const std::string& extension) {
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return;
    ForEachLine(
        [&file](char* buffer, size_t size) {
            DWORD got = 0;
            return ::ReadFile(file.Get(), buffer, static_cast<DWORD>(size), &got, nullptr) ? static_cast<size_t>(got) : 0;
        },
        MaxLineLength,
        [this, &extension](const std::string& line) {
            if (!AddLine(extension, line)) ++skipped;
        },
        overlong);
}

void Database::LoadText(const std::string& bytes, const std::string& extension) {
    size_t at = 0;
    ForEachLine(
        [&](char* buffer, size_t size) {
            const size_t n = std::min(size, bytes.size() - at);
            std::memcpy(buffer, bytes.data() + at, n);
            at += n;
            return n;
        },
        MaxLineLength,
        [this, &extension](const std::string& line) {
            if (!AddLine(extension, line)) ++skipped;
        },
        overlong);
}

void Database::LoadFolder(const std::wstring& folder) {
    for (const wchar_t* extension : {L".tvb", L".ndb", L".hdb", L".hsb"}) {
        WIN32_FIND_DATAW data;
        Win::FindHandle find(::FindFirstFileW((folder + L"\\*" + extension).c_str(), &data));
        if (!find) continue;
        std::string narrowExtension;
        for (const wchar_t* c = extension; *c; ++c) narrowExtension += static_cast<char>(*c);
        do LoadFile(folder + L"\\" + data.cFileName, narrowExtension);
        while (::FindNextFileW(find.Get(), &data));
    }
    bodies.Shrink();
}

}  // namespace RefEngine
