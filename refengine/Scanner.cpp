// Matching bodies, hashes of objects and of PE sections, the allow list, and archive members.
#include "refengine/Scanner.h"

#include "refengine/Hash.h"
#include "refengine/Pe.h"

#include <windows.h>

#include <unordered_map>

namespace RefEngine {
namespace {

bool Stopped(const volatile long* stop) { return stop && ::InterlockedCompareExchange(const_cast<volatile long*>(stop), 0, 0); }

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return wide;
}

}  // namespace

const std::vector<uint8_t>& ObjectDigests::Whole(HashKind kind) {
    std::vector<uint8_t>& digest = whole_[static_cast<int>(kind)];
    if (!made_[static_cast<int>(kind)]) {
        made_[static_cast<int>(kind)] = true;
        digest = Digest(kind, source_);
    }
    return digest;
}

bool Engine::Allowed(ObjectDigests& digests) const {
    const uint64_t size = digests.Source().Size();
    for (HashKind kind : HashKinds) {
        if (!database_.allowed.Names(kind, size)) continue;
        const std::vector<uint8_t>& digest = digests.Whole(kind);
        if (!digest.empty() && database_.allowed.Find(kind, size, digest.data()) >= 0) return true;
    }
    return false;
}

Engine::Engine(const Database& database, const Budgets& budgets) : database_(database), matcher_(database.bodies, budgets) {}

Detection Engine::Scan(ByteSource& source, const std::wstring& objectName, const volatile long* stop,
                       const MemberCallback& member) const {
    ZipTotals totals;
    return ScanObject(source, objectName, stop, member, 0, totals);
}

Detection Engine::ScanObject(ByteSource& source, const std::wstring& objectName, const volatile long* stop,
                             const MemberCallback& member, int depth, ZipTotals& totals) const {
    Detection detection;
    ObjectInfo info;
    info.size = source.Size();
    if (database_.needsPe) ReadPe(source, info);
    ObjectDigests digests(source);
    // An object on the allow list is clean whatever matched in it.
    auto report = [&](const std::string& name) {
        if (Allowed(digests)) return;
        detection.found = true;
        detection.incomplete = false;
        detection.name = name;
    };
    // Matches of subsignatures, counted per logical signature; one whose count can only grow true
    // decides at once.
    std::unordered_map<uint32_t, std::vector<uint32_t>> counts;
    int64_t logicalFound = -1;
    auto onSubsignature = [&](uint32_t signature) {
        const auto owner = database_.subsignatureOf.find(signature);
        if (owner == database_.subsignatureOf.end()) return false;
        const LogicalSignature& logical = database_.logical[owner->second.first];
        std::vector<uint32_t>& count = counts[owner->second.first];
        if (count.empty()) count.resize(logical.subsignatures);
        ++count[owner->second.second];
        if (!logical.monotone || !logical.Fits(info) || !logical.Evaluate(count.data())) return false;
        logicalFound = owner->second.first;
        return true;
    };
    // Made only when there are logical signatures: a function object per scanned object costs an allocation.
    BodyMatcher::SubsignatureSink sink;
    if (!database_.logical.empty()) sink = onSubsignature;
    const BodyMatcher::Result body = matcher_.Find(source, info, stop, sink ? &sink : nullptr);
    if (Stopped(stop)) return Detection();
    if (!body.found)
        for (const auto& count : counts) {
            const LogicalSignature& logical = database_.logical[count.first];
            if (!logical.monotone && logical.Fits(info) && logical.Evaluate(count.second.data())) {
                report(database_.HashName(logical.name));
                if (detection.found) return detection;
            }
        }
    if (body.found && logicalFound >= 0) {
        report(database_.HashName(database_.logical[static_cast<size_t>(logicalFound)].name));
        return detection;
    }
    if (body.found) {
        report(database_.bodies.Name(body.signature));
        if (!detection.found) return detection;
        detection.matchStart = body.start;
        detection.curable = depth == 0 && database_.bodies[body.signature].cure == static_cast<uint8_t>(CureKind::Truncate) &&
                            body.start > 0;
        return detection;
    }
    if (body.incomplete) {
        ++workCuts_;
        detection.incomplete = true;
        detection.why = std::string("too many partial matches of ") + database_.bodies.Name(body.signature);
    }

    // Hashes of the whole object, and of the sections of a PE file, only for sizes that some signature names.
    for (HashKind kind : HashKinds) {
        if (!database_.fileHashes.Names(kind, info.size)) continue;
        const std::vector<uint8_t>& digest = digests.Whole(kind);
        const int64_t name = digest.empty() ? -1 : database_.fileHashes.Find(kind, info.size, digest.data());
        if (name >= 0) {
            report(database_.HashName(name));
            return detection;
        }
    }
    for (const ObjectInfo::Section& section : info.sections) {
        // A section cut short by the end of the file has no digest of its stated size.
        if (section.size != section.rawSize || !database_.sectionHashes.NamesAny(section.size)) continue;
        for (HashKind kind : HashKinds) {
            if (!database_.sectionHashes.Names(kind, section.size)) continue;
            const std::vector<uint8_t> digest = Digest(kind, source, section.offset, section.size);
            const int64_t name = digest.empty() ? -1 : database_.sectionHashes.Find(kind, section.size, digest.data());
            if (name >= 0) {
                report(database_.HashName(name));
                return detection;
            }
        }
    }

    // Archive members, each with its own verdict; the first detected member's name marks the archive.
    if (depth <= MaxArchiveDepth) {
        const ZipReport report = ForEachZipMember(source, limits_, totals, [&](const std::string& name, const std::vector<uint8_t>& data) {
            if (Stopped(stop)) return false;
            MemorySource inner(data.data(), data.size());
            const std::wstring innerName = objectName + L"\\" + Widen(name);
            if (depth == MaxArchiveDepth) {
                // Too deep to open: nothing inside it is looked at, and the report says so.
                if (!detection.incomplete && !detection.found) {
                    detection.incomplete = true;
                    detection.why = "archives nested deeper than " + std::to_string(MaxArchiveDepth);
                }
                return false;
            }
            Detection found = ScanObject(inner, innerName, stop, member, depth + 1, totals);
            if (member) member(innerName, found);
            if (found.found && !detection.found) {
                detection = found;
                detection.curable = false;
                detection.incomplete = false;
            } else if (found.incomplete && !detection.found && !detection.incomplete) {
                detection.incomplete = true;
                detection.why = found.why;
            }
            return true;
        });
        if (report.incomplete) ++archiveCuts_;
        if (report.incomplete && !detection.found && !detection.incomplete) {
            detection.incomplete = true;
            detection.why = report.why;
        }
    }
    return Stopped(stop) ? Detection() : detection;
}

}  // namespace RefEngine
