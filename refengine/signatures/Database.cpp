// Reading signature bases.
#include "refengine/signatures/Database.h"

#include "base/Text.h"
#include "base/WinHandle.h"
#include "refengine/object/Fields.h"
#include "refengine/object/ObjectType.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace RefEngine {
namespace {

const char* const TooManyClasses = "more distinct byte classes than the engine holds";

// Up to max fields of a line split at the separator, in place; the number of fields, or max + 1 when
// there are more.
size_t Fields(std::string_view line, char separator, std::string_view* out, size_t max) {
    size_t count = 0, start = 0;
    for (;;) {
        const size_t at = line.find(separator, start);
        if (count == max) return max + 1;
        out[count++] = line.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
        if (at == std::string_view::npos) return count;
        start = at + 1;
    }
}

}  // namespace

void ForEachLine(const std::function<size_t(char*, size_t)>& read, size_t maxLength,
                 const std::function<void(const std::string&)>& line, uint32_t& overlong) {
    enum { Utf8Text, Utf16Le, Utf16Be } encoding = Utf8Text;
    std::vector<char> block(1u << 20);
    std::string current, decoded;
    bool skipping = false, afterCr = false, first = true;
    std::string pendingBytes;  // an odd byte of UTF-16 between blocks
    wchar_t heldSurrogate = 0;
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
        if (encoding != Utf8Text) {
            pendingBytes.append(data, got);
            std::wstring units;
            if (heldSurrogate) units += heldSurrogate;
            size_t i = 0;
            for (; i + 1 < pendingBytes.size(); i += 2) {
                const unsigned char a = pendingBytes[i], b = pendingBytes[i + 1];
                units += static_cast<wchar_t>(encoding == Utf16Le ? (a | (b << 8)) : ((a << 8) | b));
            }
            // The first half of a pair at the end of a block waits for its other half.
            heldSurrogate = 0;
            if (!units.empty() && units.back() >= 0xD800 && units.back() < 0xDC00) {
                heldSurrogate = units.back();
                units.pop_back();
            }
            decoded = Utf8(units);
            pendingBytes.erase(0, i);
            text = decoded.data();
            length = decoded.size();
        }
        for (size_t i = 0; i < length;) {
            const char c = text[i];
            if (c == '\n' && afterCr) {
                afterCr = false;
                ++i;
                continue;
            }
            afterCr = c == '\r';
            if (c == '\n' || c == '\r') {
                endLine();
                ++i;
                continue;
            }
            // The rest of the line in this block, appended at once.
            size_t end = i + 1;
            while (end < length && text[end] != '\n' && text[end] != '\r') ++end;
            if (!skipping) {
                if (current.size() + (end - i) > maxLength) {
                    skipping = true;
                    current.clear();
                } else {
                    current.append(text + i, end - i);
                }
            }
            i = end;
        }
    }
    if (!current.empty() || skipping) endLine();
}

uint32_t Database::Records() const {
    // Signatures that detect: a logical signature is one, however many subsignatures it has; allow and
    // ignore lists are not.
    uint32_t records = 0;
    for (const auto& type : loaded)
        if (type.first != ".fp" && type.first != ".sfp" && type.first != ".ign" && type.first != ".ign2") records += type.second;
    return records;
}

uint32_t Database::AddHashName(const std::string& name) {
    const uint32_t at = static_cast<uint32_t>(hashNames_.size());
    hashNames_.append(name);
    hashNames_.push_back('\0');
    return at;
}

bool Database::AddHash(HashSet& set, std::string_view digestText, std::string_view sizeText, std::string_view name,
                       std::string_view minLevel, bool md5, bool sha) {
    uint8_t digest[32];
    const size_t length = digestText.size() / 2;
    if (name.empty() || digestText.size() % 2 || length > sizeof digest) return false;
    for (size_t i = 0; i < length; ++i) {
        const int high = HexDigit(digestText[2 * i]), low = HexDigit(digestText[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        digest[i] = static_cast<uint8_t>(high * 16 + low);
    }
    uint64_t size = AnySize;
    uint64_t level = 0;
    if (sizeText != "*" && (!ParseDecimal(sizeText, size) || size >= AnySize)) return false;
    if (!minLevel.empty() && (!ParseDecimal(minLevel, level) || level > FunctionalityLevel)) return false;
    const uint32_t at = static_cast<uint32_t>(hashNames_.size());
    if (!set.Add(static_cast<uint32_t>(size), digest, length, at, md5, sha)) return false;
    hashNames_.append(name.data(), name.size());
    hashNames_.push_back('\0');
    return true;
}

bool Database::AddLogical(const std::string& line) {
    ParsedLogical parsed;
    if (!ParseLogicalSignature(line, FunctionalityLevel, parsed)) {
        NoteSkipped(".ldb", line, parsed.skipReason.empty() ? std::string("malformed") : parsed.skipReason);
        return false;
    }
    const uint32_t index = static_cast<uint32_t>(logical.size());
    if (index >= NotSubsignature) return false;
    std::vector<uint32_t> added;
    added.reserve(parsed.bodies.size());
    for (auto& body : parsed.bodies) {
        body.second.target |= SignatureStore::Sub;
        const uint32_t s = bodies.Add(body.second);
        if (s == SignatureStore::NotAdded) {
            // The subsignatures added already stay, disabled: nothing refers to them.
            for (uint32_t earlier : added) {
                bodies.Disable(earlier);
                subsignatureOf[earlier] = Owner();
            }
            NoteSkipped(".ldb", line, TooManyClasses);
            return false;
        }
        added.push_back(s);
        subsignatureOf.resize(bodies.Size());
        subsignatureOf[s] = Owner(index, body.first);
    }
    if (added.empty()) return false;  // patterns alone: nothing could ever trigger them
    parsed.signature.name = AddHashName(parsed.name);
    parsed.signature.firstBody = added.front();
    parsed.signature.bodies = static_cast<uint32_t>(added.size());
    parsed.signature.firstPattern = static_cast<uint32_t>(patterns.size());
    parsed.signature.patterns = static_cast<uint32_t>(parsed.patterns.size());
    for (PatternSubsignature& pattern : parsed.patterns) patterns.push_back(std::move(pattern));
    logical.push_back(std::move(parsed.signature));
    return true;
}

bool Database::AddBody(const std::string& extension, const BodySignature& sig) {
    if (bodies.Add(sig) != SignatureStore::NotAdded) return true;
    NoteSkipped(extension, sig.name, TooManyClasses);
    return false;
}

namespace {

// The functionality-level fields: the signature is kept when the engine's level lies between them.
bool LevelFits(const std::string* minLevel, const std::string* maxLevel) {
    uint64_t level = 0;
    if (minLevel && !minLevel->empty() && (!ParseDecimal(*minLevel, level) || level > FunctionalityLevel)) return false;
    if (maxLevel && !maxLevel->empty() && (!ParseDecimal(*maxLevel, level) || level < FunctionalityLevel)) return false;
    return true;
}

bool IsPuaType(const std::string& extension) {
    return extension == ".ndu" || extension == ".ldu" || extension == ".hdu" || extension == ".hsu" ||
           extension == ".mdu" || extension == ".msu";
}

// The type a PUA base would have without its PUA mark.
std::string WithoutPua(const std::string& extension) {
    if (!IsPuaType(extension)) return extension;
    return extension.substr(0, 3) + "b";
}

}  // namespace

bool Database::AddLine(const std::string& givenExtension, const std::string& raw) {
    size_t length = raw.size();
    while (length && (raw[length - 1] == '\r' || raw[length - 1] == ' ' || raw[length - 1] == '\t')) --length;
    const std::string_view line(raw.data(), length);
    if (line.empty() || line[0] == '#') return true;
    const std::string extension = WithoutPua(givenExtension);
    auto count = [this, &givenExtension](bool added) {
        if (added) ++loaded[givenExtension];
        return added;
    };
    if (extension == ".tvb") {
        const std::vector<std::string> f = Split(std::string(line), '|');
        BodySignature sig;
        if (f.size() != 4 || f[0].empty() || !ParseOffset(f[1], sig.offset) || !ParseHexSignature(f[2], sig))
            return false;
        if (f[3] == "truncate") sig.cure = CureKind::Truncate;
        else if (f[3] != "none") return false;
        sig.name = f[0];
        return count(AddBody(extension, sig));
    }
    if (extension == ".ndb") {
        // A line the engine does not read is counted with its reason, as the summary names them.
        auto skip = [this, &line](const std::string& reason) {
            NoteSkipped(".ndb", line, reason);
            return false;
        };
        // Name:TargetType:Offset:HexSignature[:MinFL[:MaxFL]], without a string for every field.
        size_t colons[6], found = 0;
        for (size_t at = line.find(':'); at != std::string::npos && found < 6; at = line.find(':', at + 1)) colons[found++] = at;
        uint64_t target = 0;
        if (found < 3 || found > 5 || colons[0] == 0 || !ParseDecimal(line.substr(colons[0] + 1, colons[1] - colons[0] - 1), target, 2))
            return skip("malformed");
        if (target > MaxTargetType || target == 8) return skip("target type " + std::to_string(target));
        if (found > 3) {
            const std::string minLevel(line.substr(colons[3] + 1, (found > 4 ? colons[4] : line.size()) - colons[3] - 1));
            const std::string maxLevel(found > 4 ? line.substr(colons[4] + 1) : std::string_view());
            if (!LevelFits(&minLevel, &maxLevel)) return skip("functionality level");
        }
        BodySignature& sig = scratch_;
        const size_t hexEnd = found > 3 ? colons[3] : line.size();
        if (!ParseOffset(std::string(line.substr(colons[1] + 1, colons[2] - colons[1] - 1)), sig.offset))
            return skip("offset of an unsupported form");
        if (!ParseHexSignature(std::string(line.substr(colons[2] + 1, hexEnd - colons[2] - 1)), sig))
            return skip("hex signature of an unsupported form or without a fixed byte to anchor on");
        sig.name.assign(line, 0, colons[0]);
        sig.target = static_cast<uint8_t>(target);
        // Offsets into a program's structure: the engine knows that of PE, ELF and Mach-O files.
        if (sig.offset.kind != Offset::Anywhere && sig.offset.kind != Offset::FromStart && sig.offset.kind != Offset::FromEnd &&
            sig.target != PeTarget && sig.target != ElfTarget && sig.target != MachOTarget)
            return skip("offset in a program's structure for target type " + std::to_string(target));
        sig.cure = CureKind::None;
        return count(AddBody(extension, sig));
    }
    if (extension == ".hdb" || extension == ".hsb" || extension == ".fp" || extension == ".sfp") {
        // Digest:Size:Name[:MinFL]
        std::string_view f[4];
        const size_t n = Fields(line, ':', f, 4);
        if (n < 3 || n > 4) return false;
        const bool md5 = extension == ".hdb" || extension == ".fp";
        HashSet& set = extension == ".fp" || extension == ".sfp" ? allowed : fileHashes;
        return count(AddHash(set, f[0], f[1], f[2], f[3], md5, !md5));
    }
    if (extension == ".mdb" || extension == ".msb") {
        // SectionSize:Digest:Name[:MinFL]
        std::string_view f[4];
        const size_t n = Fields(line, ':', f, 4);
        if (n < 3 || n > 4) return false;
        const bool md5 = extension == ".mdb";
        return count(AddHash(sectionHashes, f[1], f[0], f[2], f[3], md5, !md5));
    }
    if (extension == ".ldb") return count(AddLogical(std::string(line)));
    if (extension == ".ign" || extension == ".ign2") {
        // .ign2: Name[:Digest of the signature's line]; .ign: Base:Line:Name
        const std::vector<std::string> f = Split(std::string(line), ':');
        const std::string& name = extension == ".ign" && f.size() >= 3 ? f[2] : f[0];
        if (name.empty()) return false;
        ignored.insert(name);
        return count(true);
    }
    return false;
}

void Database::LoadStream(const std::function<size_t(char*, size_t)>& read, const std::string& extension) {
    ForEachLine(read, MaxLineLength,
                [this, &extension](const std::string& line) {
                    if (!AddLine(extension, line)) {
                        ++skipped;
                        ++skippedLines[extension];
                    }
                },
                overlong);
}

void Database::LoadText(const std::string& bytes, const std::string& extension) {
    size_t at = 0;
    LoadStream(
        [&](char* buffer, size_t size) {
            const size_t n = std::min(size, bytes.size() - at);
            std::memcpy(buffer, bytes.data() + at, n);
            at += n;
            return n;
        },
        extension);
}

bool Database::Reads(const std::string& extension) const {
    static const char* const types[] = {".tvb", ".ndb", ".hdb", ".hsb", ".mdb", ".msb", ".fp", ".sfp", ".ign", ".ign2", ".ldb"};
    for (const char* type : types)
        if (extension == type) return true;
    return includePua && IsPuaType(extension);
}

void Database::LoadFile(const std::wstring& path, const std::string& extension) {
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return;
    auto read = [&file](char* buffer, size_t size) {
        DWORD got = 0;
        return ::ReadFile(file.Get(), buffer, static_cast<DWORD>(size), &got, nullptr) ? static_cast<size_t>(got) : 0;
    };
    if (extension == ".cvd" || extension == ".cld" || extension == ".cud") {
        FileSource source(file.Get());
        LoadContainer(source, extension, Utf8(path.substr(path.find_last_of(L"\\/") + 1)));
        return;
    }
    if (!Reads(extension)) {
        ++skippedFiles[extension];
        return;
    }
    LoadStream(read, extension);
}

void Database::LoadFolder(const std::wstring& folder) {
    // Potentially unwanted programs are not viruses: their bases are read only when the user asks.
    includePua = ::GetPrivateProfileIntW(L"bases", L"pua", 0, (folder + L"\\refengine.ini").c_str()) != 0;
    WIN32_FIND_DATAW data;
    Win::FindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &data));
    std::vector<std::wstring> names;
    if (find) {
        do {
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(data.cFileName);
        } while (::FindNextFileW(find.Get(), &data));
    }
    // The same order on every system, so that the first of two equal signatures is always the same one.
    std::sort(names.begin(), names.end());
    // Of daily.cvd and daily.cld (an update made one from the other), only the newer is read.
    std::map<std::wstring, std::pair<uint64_t, std::wstring>> newest;
    for (const std::wstring& name : names) {
        const size_t dot = name.rfind(L'.');
        const std::string extension = dot == std::wstring::npos ? std::string() : LowerAscii(Utf8(name.substr(dot)));
        if (extension != ".cvd" && extension != ".cld" && extension != ".cud") continue;
        const uint64_t version = ContainerVersion(folder + L"\\" + name);
        auto& best = newest[LowerCase(name.substr(0, dot))];
        if (best.second.empty() || version > best.first) best = std::make_pair(version, name);
    }
    for (const std::wstring& name : names) {
        const size_t dot = name.rfind(L'.');
        if (dot == std::wstring::npos) continue;
        const std::string extension = LowerAscii(Utf8(name.substr(dot)));
        const auto container = newest.find(LowerCase(name.substr(0, dot)));
        if (container != newest.end() && (extension == ".cvd" || extension == ".cld" || extension == ".cud") &&
            container->second.second != name) {
            notices.push_back(Utf8(name) + ": not read, " + Utf8(container->second.second) + " is newer");
            continue;
        }
        // The engine's own files beside the bases.
        if (extension == ".dll" || extension == ".exe" || extension == ".ini" || extension == ".txt" || extension == ".md") continue;
        LoadFile(folder + L"\\" + name, extension);
    }
    Seal();
}

void Database::Seal() {
    auto keep = [this](uint32_t name) { return ignored.empty() || !ignored.count(HashName(name)); };
    fileHashes.Seal(keep);
    sectionHashes.Seal(keep);
    allowed.Seal([](uint32_t) { return true; });
    subsignatureOf.shrink_to_fit();
    targetTypes = 0;
    for (size_t i = 0; i < bodies.Size(); ++i) {
        if (!ignored.empty() && ignored.count(bodies.Name(i))) bodies.Disable(i);
        targetTypes |= TargetBit(bodies[i].target & SignatureStore::TargetMask);
    }
    bodies.Shrink();
}

void Database::NoteSkipped(const std::string& extension, std::string_view line, const std::string& reason) {
    ++skippedLines[extension + ": " + reason];
    if (skippedNames.size() < MaxSkippedNames)
        skippedNames.push_back(extension + " " + std::string(line.substr(0, line.find_first_of(":;"))) + ": " + reason);
}

std::string Database::Summary() const {
    std::string text;
    for (const auto& type : loaded) text += "loaded " + type.first + " " + std::to_string(type.second) + "\n";
    for (const auto& type : skippedLines) text += "skipped lines " + type.first + " " + std::to_string(type.second) + "\n";
    for (const auto& type : skippedFiles) text += "skipped files " + type.first + " " + std::to_string(type.second) + "\n";
    for (const std::string& notice : notices) text += notice + "\n";
    return text;
}

}  // namespace RefEngine
