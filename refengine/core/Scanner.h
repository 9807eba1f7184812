// Scanning one object against the database: body signatures through the anchor filter and a check of
// each candidate, hashes of objects and of PE sections whose size a signature names, the allow list,
// and the members of archives and compressed files, each scanned as an object of its own.
#pragma once

#include "refengine/containers/Archive.h"
#include "refengine/signatures/Database.h"
#include "refengine/match/Matcher.h"
#include "refengine/object/Source.h"
#include "refengine/Limits.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace RefEngine {

struct Detection {
    bool found = false;
    std::string name;
    bool curable = false;      // a signature that says how to cure, matched in the file itself
    uint64_t matchStart = 0;   // where the matched body begins
    bool incomplete = false;   // not found, but not all of the object could be checked
    std::string why;           // for an incomplete scan: what was left out, in a few words
};

// The digests of one object, each made at most once.
class ObjectDigests {
public:
    explicit ObjectDigests(ByteSource& source) : source_(source) {}
    const std::vector<uint8_t>& Whole(HashKind kind);
    ByteSource& Source() { return source_; }

private:
    ByteSource& source_;
    std::vector<uint8_t> whole_[3];
    bool made_[3] = {false, false, false};
};

// An object's bytes in one piece, for regular expressions: read on first use, at most max of them
// (a member already lies in memory and is not copied).
class ObjectBytes {
public:
    ObjectBytes(ByteSource& source, uint64_t max) : source_(source), max_(max) {}
    // Null when the object is larger than max or could not be read whole.
    const uint8_t* Data();
    size_t Size() const { return static_cast<size_t>(source_.Size()); }
    bool Whole() const { return source_.Size() <= max_; }

private:
    ByteSource& source_;
    uint64_t max_;
    bool read_ = false;
    const uint8_t* data_ = nullptr;
    std::vector<uint8_t> held_;
};

class Engine {
public:
    explicit Engine(const Database& database, const Budgets& budgets = Budgets(), const ArchiveLimits& limits = ArchiveLimits());

    // The member callback gets each archive member's name (archive path, backslash, member) and its
    // detection. stop is polled between blocks and members; a stopped scan reports nothing.
    typedef std::function<void(const std::wstring& object, const Detection& detection)> MemberCallback;
    Detection Scan(ByteSource& source, const std::wstring& objectName, const volatile long* stop,
                   const MemberCallback& member) const;

    const Database& Data() const { return database_; }

    // Objects cut short so far: by an archive limit or damage, and by a work limit of the matcher.
    uint32_t ArchiveCuts() const { return archiveCuts_; }
    uint32_t WorkCuts() const { return workCuts_; }

    // The object that came closest to a work limit of the matcher so far: the share of that limit it
    // used (in millionths), and, as text, the limit, the signature and the object.
    struct WorkPeak {
        uint32_t share = 0;
        std::string text;
    };
    WorkPeak BusiestObject() const;

private:
    // Where an object came from: the types it has by its place (a stream of a compound file is a file
    // inside OLE2), and the format of its container.
    struct Origin {
        uint16_t types = 0;
        FormatId container = FormatId::None;
    };
    Detection ScanObject(ByteSource& source, const std::wstring& objectName, const volatile long* stop,
                         const MemberCallback& member, int depth, ArchiveTotals& totals, const Origin& origin) const;
    // Body and logical signatures over one form of the object: its bytes as they stand (asStored: a
    // cure may cut them), or its normalised text. The allow list is asked with the object's digests.
    // The regular expressions of a logical signature whose triggers hold, their counts into counts;
    // false when one could not be run to its end (a limit, or an object too large to hold).
    bool RunPatterns(const LogicalSignature& logical, ObjectBytes& bytes, std::vector<uint32_t>& counts) const;
    Detection MatchBodies(ByteSource& form, const ObjectInfo& info, ObjectDigests& digests, const std::wstring& objectName,
                          const volatile long* stop, bool asStored) const;

    // True when the object's digest is on the allow list.
    bool Allowed(ObjectDigests& digests) const;

    void NoteWork(const BodyMatcher::Result& result, const std::wstring& objectName) const;

    // Subsignatures whose anchors are common in ordinary files are deferred when their logical
    // signature needs a rare one (its trigger): they are looked for only in objects where the trigger
    // matched, in a second pass, so that most objects never meet their countless candidates.
    void Defer();

    const Database& database_;
    Budgets budgets_;
    std::vector<int32_t> trigger_;                  // per logical signature: the trigger's index, or -1
    std::vector<std::vector<uint32_t>> deferredOf_;  // per logical signature: its deferred body signatures
    std::unique_ptr<BodyMatcher> matcher_;          // every body signature but the deferred ones
    mutable std::atomic<uint32_t> archiveCuts_{0}, workCuts_{0};
    mutable std::mutex peakLock_;
    mutable std::atomic<uint32_t> peakShare_{0};
    mutable WorkPeak peak_;
    const ArchiveLimits limits_;
};

}  // namespace RefEngine
