// Archives and compressed files: each format is a module behind one interface, and hands its members
// to one sink, which applies the limits for all formats alike (members, bytes, ratio, memory) and
// gives each member to the scanner. What a limit, a damage, an encryption or an unknown method left
// out is reported, so that an archive is never called clean when part of it was not looked at.
#pragma once

#include "refengine/Limits.h"
#include "refengine/object/AllocationCap.h"
#include "refengine/object/Formats.h"
#include "refengine/object/MemberBytes.h"
#include "refengine/object/Source.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace RefEngine {

struct ArchiveLimits {
    uint64_t maxMemberSize = Limits::MemberSize;        // bytes of one member kept for the scan
    uint64_t maxInMemory = Limits::MemberInMemory;      // of those, held in memory (the rest in a temporary file)
    uint32_t maxMembers = Limits::Members;              // members of one archive
    uint32_t maxRatio = Limits::Ratio;                  // unpacked / packed, above 1 MiB
    uint64_t maxTotalUnpacked = Limits::TotalUnpacked;  // bytes unpacked for an object, archives in archives included
    uint32_t maxTotalMembers = Limits::TotalMembers;    // members of an object, archives in archives included
    uint64_t maxDictionary = Limits::Dictionary;        // memory a format may declare for unpacking
    uint64_t maxDictionaries = Limits::Dictionaries;    // of archives open in each other at once
    uint64_t maxInstructions = Limits::Instructions;    // interpreted for the packed programs of an object, all levels
    int maxDepth = Limits::ArchiveDepth;                // archives in archives opened
};

// The limits as refengine.ini (the file named) sets them under [limits], in MB where a size: member_mb,
// in_memory_mb, total_mb, members, total_members, ratio, depth; the defaults for any not set.
ArchiveLimits LimitsFromSettings(const std::wstring& file);

// What one object's archives have used of the limits, across all levels.
struct ArchiveTotals {
    uint64_t unpacked = 0;      // every byte unpacked, kept for the scan or not
    uint32_t members = 0;
    uint64_t dictionaries = 0;  // memory declared by the archives being unpacked now
    uint64_t instructions = 0;  // interpreted in packed programs
};

struct ArchiveReport {
    bool archive = false;     // the object is an archive of the format
    bool incomplete = false;  // something in it was not scanned
    std::string why;          // the first reason, in a few words
    uint32_t limitsHit = 0;   // of those, left out by a limit
    void Note(const std::string& reason, bool limit);
};

// Where a format hands its members, one at a time, their bytes in pieces as they are unpacked. Bytes
// of a member beyond its limit are counted but not kept; when the archive's bytes or members are
// spent, Write and Begin answer false and the format stops.
class MemberSink {
public:
    // The scan of one member (its name in the archive, its bytes); false when the scan must stop.
    typedef std::function<bool(const std::string& name, ByteSource& data)> Visit;
    MemberSink(const std::string& format, uint64_t archiveSize, const ArchiveLimits& limits, ArchiveTotals& totals,
               ArchiveReport& report, const Visit& visit);

    const std::string& Format() const { return format_; }
    // The format's one member is the whole file it compresses (gzip, xz, ...), which the reader of
    // what it holds (a TAR) reads to its end: it is kept up to the object's limit, not a member's.
    void MembersAreWholeFiles() { wholeFiles_ = true; }
    const ArchiveLimits& Limits() const { return limits_; }
    // A member begins. packed: its packed bytes when the format knows them (0: not known); declared:
    // the size its header gives (UINT64_MAX: none), used to refuse a bomb before it is unpacked, never
    // to reserve memory. False: refused (the report says why), its bytes are not wanted.
    bool Begin(const std::string& name, uint64_t packed, uint64_t declared);
    // Its next bytes. False: the archive's limits are spent, or the scan must stop; unpack no more.
    bool Write(const void* data, size_t size);
    // The member is done; when damaged (why says how), what came out of it is scanned all the same.
    // False when the scan must stop.
    bool End(bool damaged, const std::string& why = std::string());
    // How many bytes the format has unpacked in all so far, kept or passed over (a refused member in a
    // solid block is unpacked all the same, to reach the next): what the sink has not counted yet
    // counts now. False: the archive's limits are spent, or the scan must stop; unpack no more.
    bool Progress(uint64_t unpackedInAll);
    // A member that is not unpacked: encrypted, packed by an unknown method, damaged, too large.
    void Refuse(const std::string& why, bool limit = false);
    // True once nothing more may be unpacked: a stop, or the archive's limits spent.
    bool Stopped() const { return stopped_; }
    // True once the open member went past what is kept of it: a format may stop unpacking it there.
    bool Full() const { return open_ && memberBytes_ > memberLimit_; }
    // The report of the archive, for a damage of the archive itself.
    ArchiveReport& Report() { return report_; }
    // What the object's archives have used so far, across levels.
    ArchiveTotals& Totals() { return totals_; }
    // The memory a format declares it needs to unpack the archive, held until the sink is done with
    // (archives in archives add theirs); false, and refused, when it goes beyond the limits.
    bool Reserve(uint64_t dictionary);
    ~MemberSink();

private:
    // Stops when the bytes unpacked so far go beyond the archive's or the object's limits.
    void CheckUnpacked();

    ArchiveAllocations capped_;  // while the format reads, no single allocation beyond MaxAllocation
    std::string format_;
    uint64_t archiveSize_;
    const ArchiveLimits& limits_;
    ArchiveTotals& totals_;
    ArchiveReport& report_;
    Visit visit_;
    uint32_t members_ = 0;      // members of this archive
    uint64_t unpacked_ = 0;     // bytes unpacked from this archive
    bool open_ = false, overLimit_ = false, stopped_ = false, wholeFiles_ = false;
    std::string name_;
    uint64_t memberLimit_ = 0;  // bytes of the open member to keep
    uint64_t memberBytes_ = 0;  // bytes of the open member unpacked
    uint64_t reserved_ = 0;
    MemberBytes data_;
};

// What formats look at to recognise an object: its first bytes and, for a program, the first bytes
// after its image (where a self-extractor keeps its archive).
struct ObjectHead {
    static constexpr size_t Size = Limits::HeadBytes;  // at most, of each
    ObjectHead();
    ~ObjectHead();  // the buffers go back to the thread's spares
    ObjectHead(const ObjectHead&) = delete;
    ObjectHead& operator=(const ObjectHead&) = delete;
    std::vector<uint8_t> bytes;
    uint64_t overlay = 0;  // where the bytes after a program's image begin (0: not a program, or none)
    std::vector<uint8_t> overlayBytes;
    std::string name;      // the object's own name (a compressed file's member is named after it)
    uint16_t types = 0;    // its target types, as far as they are known (TargetBit)
};

class ArchiveFormat {
public:
    ArchiveFormat() = default;
    explicit ArchiveFormat(FormatId id) : record_(&RecordOf(id)) {}
    virtual ~ArchiveFormat() = default;
    // What the registry says of the format (containers/FormatList.h).
    const FormatRecord& Record() const { return *record_; }
    FormatId Id() const { return record_->id; }
    // The format's name, as reasons and `tervscan --version` give it.
    std::string Name() const { return record_->name; }
    // Whether the object may be of the format; cheap, asked of every object.
    virtual bool Recognizes(const ObjectHead& head) const = 0;
    // Every member, to the sink; the sink's report says whether the object was of the format at all.
    virtual void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const = 0;
    // An object is read by the first exclusive format that takes it, and by every other that
    // recognises it (those that look for what any object may carry).
    virtual bool Exclusive() const { return true; }
    // The container its members are in, as "Container:" signatures name it: the format itself, unless
    // the object's content makes it a kind of its own (an Office Open XML document is a ZIP).
    virtual FormatId ContainerOfMembers(const ObjectHead&) const { return Id(); }

private:
    friend const std::vector<std::unique_ptr<ArchiveFormat>>& ArchiveFormats();
    const FormatRecord* record_ = &RecordOf(FormatId::None);
};

// The formats the engine opens, in the order they are asked (containers/Registry.cpp).
const std::vector<std::unique_ptr<ArchiveFormat>>& ArchiveFormats();

}  // namespace RefEngine
