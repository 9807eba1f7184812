// Matching bodies, hashes and archive members.
#include "refengine/Scanner.h"

#include "refengine/Hash.h"

#include <windows.h>

namespace RefEngine {
namespace {

bool Stopped(const volatile long* stop) { return stop && ::InterlockedCompareExchange(const_cast<volatile long*>(stop), 0, 0); }

std::wstring Widen(const std::string& text) {
    std::wstring wide;
    for (unsigned char c : text) wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return wide;
}

}  // namespace

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
    const BodyMatcher::Result body = matcher_.Find(source, info, stop);
    if (Stopped(stop)) return Detection();
    if (body.found) {
        detection.found = true;
        detection.name = database_.bodies.Name(body.signature);
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

    // Hashes, only for sizes that some hash signature names.
    if (database_.hashedSizes.count(source.Size())) {
        std::vector<uint8_t> digests[3];
        for (const HashSignature& sig : database_.hashes) {
            if (sig.size != source.Size()) continue;
            std::vector<uint8_t>& digest = digests[sig.kind];
            if (digest.empty()) digest = Digest(sig.kind, source);
            if (digest == sig.digest) {
                detection.found = true;
                detection.incomplete = false;
                detection.name = sig.name;
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
