// Matching bodies, hashes of objects and of PE sections, the allow list, and archive members.
#include "refengine/core/Scanner.h"

#include "refengine/executables/Elf.h"
#include "refengine/object/Hash.h"
#include "refengine/executables/MachO.h"
#include "refengine/object/Normalise.h"
#include "refengine/executables/PeImage.h"
#include "refengine/signatures/RegularExpression.h"
#include "refengine/Limits.h"

#include <windows.h>

#include <algorithm>
#include <unordered_map>

namespace RefEngine {
namespace {

bool Stopped(const volatile long* stop) { return stop && ::InterlockedCompareExchange(const_cast<volatile long*>(stop), 0, 0); }

// A member's name as the path of an object: UTF-8 where it is that, else a byte a character.
std::wstring Widen(const std::string& text) {
    std::wstring wide;
    const int length = text.empty() ? 0 : ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (length > 0) {
        wide.resize(static_cast<size_t>(length));
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), &wide[0], length);
    } else {
        for (unsigned char c : text) wide += static_cast<wchar_t>(c);
    }
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

// What archive formats look at: the object's first bytes, and a program's bytes after its image.
void ReadHead(ByteSource& source, ObjectInfo& info, const std::wstring& objectName, ObjectHead& head) {
    head.bytes.resize(static_cast<size_t>(std::min<uint64_t>(source.Size(), ObjectHead::Size)));
    head.bytes.resize(source.Read(0, head.bytes.data(), head.bytes.size()));
    if (!info.pe && head.bytes.size() >= 2 && head.bytes[0] == 'M' && head.bytes[1] == 'Z') ReadPe(source, info);
    if (info.pe) {
        uint64_t imageEnd = 0;
        for (const ObjectInfo::Section& section : info.sections) imageEnd = std::max(imageEnd, section.offset + section.rawSize);
        if (imageEnd > 0 && imageEnd < source.Size()) {
            head.overlay = imageEnd;
            head.overlayBytes.resize(static_cast<size_t>(std::min<uint64_t>(source.Size() - imageEnd, ObjectHead::Size)));
            head.overlayBytes.resize(source.Read(imageEnd, head.overlayBytes.data(), head.overlayBytes.size()));
        }
    }
    // A compressed file's one member is named after the file, less its last extension.
    const size_t slash = objectName.find_last_of(L"\\/");
    std::wstring name = slash == std::wstring::npos ? objectName : objectName.substr(slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos && dot > 0) name.resize(dot);
    for (wchar_t c : name) head.name += c < 0x80 ? static_cast<char>(c) : '_';
}

}  // namespace

const uint8_t* ObjectBytes::Data() {
    if (read_) return data_;
    read_ = true;
    const uint64_t size = source_.Size();
    if (size > max_) return nullptr;
    static const uint8_t none = 0;
    if (size == 0) return data_ = &none;
    size_t together = 0;
    const uint8_t* view = source_.View(0, together);
    if (view && together >= size) return data_ = view;  // a member in memory
    held_.resize(static_cast<size_t>(size));
    if (source_.Read(0, held_.data(), held_.size()) != held_.size()) return nullptr;
    return data_ = held_.data();
}

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

namespace {

// Subsignatures whose anchors turn up this often in ordinary files (fewer bits of surprise) are looked
// for only once a rare one that their logical signature cannot do without has matched.
const double CommonAnchorBits = 28, RareAnchorBits = 40;

double AnchorBits(const SignatureStore& store, uint32_t s) {
    // A signature that starts at a known place is checked there alone: as rare as any.
    if (store[s].offsetKind != Offset::Anywhere) return 1e9;
    return Surprise(store.Anchor(s), store[s].anchorLength);
}

}  // namespace

void Engine::Defer() {
    const Database& database = database_;
    if (database.logical.empty()) {
        matcher_.reset(new BodyMatcher(database.bodies, budgets_));
        return;
    }
    trigger_.assign(database.logical.size(), -1);
    deferredOf_.assign(database.logical.size(), std::vector<uint32_t>());
    std::vector<uint8_t> deferred(database.bodies.Size(), 0);
    for (uint32_t l = 0; l < database.logical.size(); ++l) {
        const LogicalSignature& logical = database.logical[l];
        const uint64_t required = logical.Required();
        if (!required) continue;
        const uint32_t from = logical.firstBody, to = logical.firstBody + logical.bodies;
        auto usable = [&](uint32_t s) { return !(database.bodies[s].target & SignatureStore::Disabled); };
        // The rarest subsignature the signature needs; one with several forms is as rare as its commonest.
        double bits[64];
        std::fill(bits, bits + 64, 1e18);
        for (uint32_t s = from; s < to; ++s) {
            double& b = bits[database.OwnerOf(s).index];
            if (usable(s)) b = std::min(b, AnchorBits(database.bodies, s));
        }
        int32_t trigger = -1;
        for (uint32_t i = 0; i < logical.subsignatures; ++i)
            if (((required >> i) & 1) && bits[i] < 1e18 && (trigger < 0 || bits[i] > bits[static_cast<size_t>(trigger)]))
                trigger = static_cast<int32_t>(i);
        if (trigger < 0 || bits[static_cast<size_t>(trigger)] < RareAnchorBits) continue;
        for (uint32_t s = from; s < to; ++s)
            if (usable(s) && database.OwnerOf(s).index != static_cast<uint32_t>(trigger) &&
                AnchorBits(database.bodies, s) < CommonAnchorBits) {
                deferred[s] = 1;
                deferredOf_[l].push_back(s);
                trigger_[l] = trigger;
            }
    }
    std::vector<uint32_t> first;
    for (uint32_t s = 0; s < database.bodies.Size(); ++s)
        if (!deferred[s]) first.push_back(s);
    matcher_.reset(new BodyMatcher(database.bodies, budgets_, &first));
}

Engine::Engine(const Database& database, const Budgets& budgets, const ArchiveLimits& limits)
    : database_(database), budgets_(budgets), limits_(limits) {
    Defer();
}

void Engine::NoteWork(const BodyMatcher::Result& result, const std::wstring& objectName) const {
    std::lock_guard<std::mutex> lock(peakLock_);
    if (result.workShare <= peak_.share) return;
    static const char* const limits[] = {"object", "signature", "candidate"};
    peak_.share = result.workShare;
    peak_.text = std::string(limits[result.workLimit]) + " limit";
    if (result.workLimit != BodyMatcher::Result::ObjectLimit)
        peak_.text += std::string(", signature ") + database_.bodies.Name(result.workSignature);
    std::string object;
    for (wchar_t c : objectName) object += c < 0x80 ? static_cast<char>(c) : '?';
    peak_.text += ", object " + object;
    peakShare_.store(result.workShare, std::memory_order_relaxed);
}

Engine::WorkPeak Engine::BusiestObject() const {
    std::lock_guard<std::mutex> lock(peakLock_);
    return peak_;
}

Detection Engine::Scan(ByteSource& source, const std::wstring& objectName, const volatile long* stop,
                       const MemberCallback& member) const {
    ArchiveTotals totals;
    return ScanObject(source, objectName, stop, member, 0, totals, Origin());
}

Detection Engine::MatchBodies(ByteSource& form, const ObjectInfo& info, ObjectDigests& digests, const std::wstring& objectName,
                              const volatile long* stop, bool asStored) const {
    Detection detection;
    // An object on the allow list is clean whatever matched in it.
    auto report = [&](const std::string& name) {
        if (Allowed(digests)) return;
        detection.found = true;
        detection.incomplete = false;
        detection.name = name;
    };
    // Matches of subsignatures, counted per logical signature; one whose count can only grow true
    // decides at once. A logical signature whose trigger matched is armed: its deferred subsignatures
    // are looked for in a second pass.
    std::unordered_map<uint32_t, std::vector<uint32_t>> counts;
    std::vector<uint32_t> armed;
    int64_t logicalFound = -1;
    auto onSubsignature = [&](uint32_t signature) {
        const Database::Owner owner = database_.OwnerOf(signature);
        if (owner.logical == Database::NotSubsignature) return false;
        const LogicalSignature& logical = database_.logical[owner.logical];
        std::vector<uint32_t>& count = counts[owner.logical];
        if (count.empty()) count.resize(logical.subsignatures);
        if (count[owner.index]++ == 0 && static_cast<int32_t>(owner.index) == trigger_[owner.logical]) armed.push_back(owner.logical);
        if (!logical.monotone || !logical.Fits(info) || !logical.Evaluate(count.data())) return false;
        logicalFound = owner.logical;
        return true;
    };
    // Made only when there are logical signatures: a function object per scanned object costs an allocation.
    BodyMatcher::SubsignatureSink sink;
    if (!database_.logical.empty()) sink = onSubsignature;
    BodyMatcher::Result body = matcher_->Find(form, info, stop, sink ? &sink : nullptr);
    if (!body.found && !armed.empty() && !Stopped(stop)) {
        std::vector<uint32_t> signatures;
        for (uint32_t logical : armed) signatures.insert(signatures.end(), deferredOf_[logical].begin(), deferredOf_[logical].end());
        const BodyMatcher deferred(database_.bodies, budgets_, &signatures);
        const BodyMatcher::Result second = deferred.Find(form, info, stop, &sink);
        if (second.workShare > body.workShare) {
            body.workShare = second.workShare;
            body.workLimit = second.workLimit;
            body.workSignature = second.workSignature;
        }
        if (second.found || (second.incomplete && !body.incomplete)) {
            body.found = second.found;
            body.signature = second.signature;
            body.start = second.start;
            body.incomplete = second.incomplete;
        }
    }
    if (body.workShare > peakShare_.load(std::memory_order_relaxed)) NoteWork(body, objectName);
    if (Stopped(stop)) return Detection();
    std::string patternCut;  // a regular expression that could not be run to its end, and why
    if (!body.found) {
        ObjectBytes bytes(form, limits_.maxMemberSize);
        for (auto& count : counts) {
            const LogicalSignature& logical = database_.logical[count.first];
            if (logical.monotone || !logical.Fits(info)) continue;
            if (logical.patterns && !RunPatterns(logical, bytes, count.second) && patternCut.empty())
                patternCut = bytes.Whole() ? std::string("work limit of ") + database_.HashName(logical.name)
                                           : std::string("object too large for the regular expression of ") + database_.HashName(logical.name);
            if (logical.Evaluate(count.second.data())) {
                report(database_.HashName(logical.name));
                if (detection.found) return detection;
            }
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
        detection.curable = asStored && database_.bodies[body.signature].cure == static_cast<uint8_t>(CureKind::Truncate) &&
                            body.start > 0;
        return detection;
    }
    if (body.incomplete) {
        ++workCuts_;
        detection.incomplete = true;
        detection.why = std::string("work limit of ") + database_.bodies.Name(body.signature);
    } else if (!patternCut.empty()) {
        ++workCuts_;
        detection.incomplete = true;
        detection.why = patternCut;
    }
    return detection;
}

bool Engine::RunPatterns(const LogicalSignature& logical, ObjectBytes& bytes, std::vector<uint32_t>& counts) const {
    bool complete = true;
    for (uint32_t p = logical.firstPattern; p < logical.firstPattern + logical.patterns; ++p) {
        const PatternSubsignature& pattern = database_.patterns[p];
        if (!EvaluateExpression(pattern.trigger, counts.data())) continue;
        const uint8_t* subject = bytes.Data();
        if (!subject) {
            complete = false;
            continue;
        }
        // Where a match may start, and the end of what it may cover.
        size_t start = 0, end = bytes.Size();
        if (pattern.offset.kind != Offset::Anywhere) {
            ObjectInfo whole;
            whole.size = bytes.Size();
            uint64_t first = 0, last = 0;
            if (!ResolveOffset(pattern.offset, whole, first, last) || first > bytes.Size()) continue;
            start = static_cast<size_t>(first);
            if (pattern.encompass) end = static_cast<size_t>(std::min<uint64_t>(end, last + 1));
        }
        uint32_t found = 0;
        // A pattern counted to a few matches near the start is granted nearly a whole search each time.
        uint64_t budget = Limits::PatternSearchShare * (Limits::SearchSteps + Limits::SearchStepsPerByte * static_cast<uint64_t>(end - start));
        for (size_t at = start; at <= end && found < Limits::PatternCount;) {
            const uint64_t steps =
                std::min<uint64_t>({Limits::SearchSteps + Limits::SearchStepsPerByte * static_cast<uint64_t>(end - at), budget, UINT32_MAX});
            if (steps < Limits::SearchSteps) {  // the pattern's steps are spent
                complete = false;
                break;
            }
            budget -= steps;
            size_t matchStart = 0, matchEnd = 0;
            const RegularExpression::Outcome outcome =
                pattern.expression->Find(subject, end, at, static_cast<uint32_t>(steps), matchStart, matchEnd);
            if (outcome == RegularExpression::Outcome::Limit) complete = false;
            if (outcome != RegularExpression::Outcome::Match) break;
            ++found;
            if (!pattern.global) break;
            at = matchEnd > matchStart ? matchEnd : matchEnd + 1;
        }
        counts[pattern.index] = found;
    }
    return complete;
}

Detection Engine::ScanObject(ByteSource& source, const std::wstring& objectName, const volatile long* stop,
                             const MemberCallback& member, int depth, ArchiveTotals& totals, const Origin& origin) const {
    ObjectInfo info;
    info.size = source.Size();
    info.types = origin.types;
    info.container = origin.container;
    ObjectHead head;
    ReadHead(source, info, objectName, head);
    // Web pages and text are matched by their own signatures in a normalised form (by the others too,
    // there), as they stand by the others.
    const uint16_t normalised = TargetBit(HtmlTarget) | TargetBit(TextTarget);
    const uint16_t own = TypesOfBytes(head.bytes);
    info.types |= own & ~normalised;
    if (own & TargetBit(ElfTarget)) ReadElf(source, info);
    if (own & TargetBit(MachOTarget)) ReadMachO(source, info);
    head.types = info.types;
    ObjectDigests digests(source);
    Detection detection = MatchBodies(source, info, digests, objectName, stop, depth == 0);
    if (detection.found || Stopped(stop)) return Stopped(stop) ? Detection() : detection;
    for (const int view : {HtmlTarget, TextTarget}) {
        if (!(own & database_.targetTypes & TargetBit(view))) continue;
        std::vector<uint8_t> text;
        const size_t max = static_cast<size_t>(limits_.maxMemberSize);
        const bool whole = view == HtmlTarget ? NormaliseHtml(source, max, text) : NormaliseText(source, max, text, EncodingOfText(head.bytes));
        MemorySource form(text.data(), text.size());
        ObjectInfo formInfo;
        formInfo.size = text.size();
        formInfo.types = static_cast<uint16_t>((info.types & ~TargetBit(PeTarget)) | TargetBit(view));
        formInfo.container = info.container;
        const Detection inForm = MatchBodies(form, formInfo, digests, objectName, stop, false);
        if (inForm.found || Stopped(stop)) return Stopped(stop) ? Detection() : inForm;
        if (!detection.incomplete && inForm.incomplete) detection = inForm;
        if (!detection.incomplete && !whole) {
            detection.incomplete = true;
            detection.why = std::string(view == HtmlTarget ? "web page" : "text") + " over " + std::to_string(max >> 20) + " MB normalised";
        }
    }
    auto report = [&](const std::string& name) {
        if (Allowed(digests)) return;
        detection.found = true;
        detection.incomplete = false;
        detection.name = name;
    };

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
        // A section cut short by the end of the file has no digest of its stated size; section digests
        // are of PE files.
        if (!info.pe || section.size != section.rawSize || !database_.sectionHashes.NamesAny(section.size)) continue;
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
    if (depth <= limits_.maxDepth) {
        Origin inner;  // of the members of the format being read
        const ArchiveFormat* reading = nullptr;
        bool containerKnown = false;
        auto visit = [&](const std::string& name, ByteSource& memberBytes) {
            if (Stopped(stop)) return false;
            // Told once the format yields a member: most objects are no archive of the formats that look.
            if (!containerKnown) {
                inner.container = reading->ContainerOfMembers(head);
                containerKnown = true;
            }
            const std::wstring innerName = objectName + L"\\" + Widen(name);
            if (depth == limits_.maxDepth) {
                // Too deep to open: nothing inside it is looked at, and the report says so.
                if (!detection.incomplete && !detection.found) {
                    detection.incomplete = true;
                    detection.why = "archives nested deeper than " + std::to_string(limits_.maxDepth);
                }
                return false;
            }
            Detection found = ScanObject(memberBytes, innerName, stop, member, depth + 1, totals, inner);
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
        };
        // The first format that takes the object reads it; formats that look into any object (for the
        // programs stored in it) read it whatever took it.
        bool taken = false;
        for (const auto& format : ArchiveFormats()) {
            if (Stopped(stop) || detection.found) break;
            if ((taken && format->Exclusive()) || !format->Recognizes(head)) continue;
            inner.types = format->Record().memberTypes;
            reading = format.get();
            containerKnown = false;
            ArchiveReport report;
            MemberSink sink(format->Name(), source.Size(), limits_, totals, report, visit);
            format->Read(source, head, sink);
            if (!report.archive) continue;
            if (report.incomplete) ++archiveCuts_;
            if (report.incomplete && !detection.found && !detection.incomplete) {
                detection.incomplete = true;
                detection.why = report.why;
            }
            taken = taken || format->Exclusive();
        }
    }
    return Stopped(stop) ? Detection() : detection;
}

}  // namespace RefEngine
