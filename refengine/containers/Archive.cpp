// The limits of every archive format, applied in one place.
#include "refengine/containers/Archive.h"

#include "refengine/object/Scratch.h"

#include <algorithm>

namespace RefEngine {
namespace {

std::string Number(uint64_t n) { return std::to_string(n); }

// A limit in bytes as a reason gives it: in MB, or KB, where it is a whole number of them.
std::string Amount(uint64_t bytes) {
    if (bytes >= Limits::MiB && bytes % Limits::MiB == 0) return Number(bytes / Limits::MiB) + " MB";
    if (bytes >= Limits::KiB && bytes % Limits::KiB == 0) return Number(bytes / Limits::KiB) + " KB";
    return Number(bytes) + " bytes";
}

}  // namespace

void ArchiveReport::Note(const std::string& reason, bool limit) {
    if (!incomplete) why = reason;
    incomplete = true;
    if (limit) ++limitsHit;
}

ObjectHead::ObjectHead() : bytes(TakeBuffer()), overlayBytes(TakeBuffer()) {}

ObjectHead::~ObjectHead() {
    GiveBack(std::move(bytes));
    GiveBack(std::move(overlayBytes));
}

MemberSink::MemberSink(const std::string& format, uint64_t archiveSize, const ArchiveLimits& limits, ArchiveTotals& totals,
                       ArchiveReport& report, const Visit& visit)
    : format_(format), archiveSize_(archiveSize), limits_(limits), totals_(totals), report_(report), visit_(visit),
      data_(limits.maxInMemory) {}

bool MemberSink::Begin(const std::string& name, uint64_t packed, uint64_t declared) {
    if (open_) End(false);
    if (stopped_) return false;
    if (members_ >= limits_.maxMembers) {
        report_.Note("over " + Number(limits_.maxMembers) + " " + format_ + " members", true);
        stopped_ = true;
        return false;
    }
    if (totals_.members >= limits_.maxTotalMembers) {
        report_.Note("over " + Number(limits_.maxTotalMembers) + " archive members in all", true);
        stopped_ = true;
        return false;
    }
    // A member that claims to grow too much is refused before it is unpacked.
    if (packed > 0 && declared != UINT64_MAX && declared > Limits::RatioFloor && declared / packed > limits_.maxRatio) {
        Refuse(format_ + " member grows over " + Number(limits_.maxRatio) + " times", true);
        return false;
    }
    ++members_;
    ++totals_.members;
    // Above the floor, no more than maxRatio times its packed bytes, whatever it claims.
    memberLimit_ = wholeFiles_ ? limits_.maxTotalUnpacked : limits_.maxMemberSize;
    if (packed > 0) memberLimit_ = std::min<uint64_t>(memberLimit_, std::max<uint64_t>(Limits::RatioFloor, packed * limits_.maxRatio));
    name_ = name.empty() ? std::string("(unnamed)") : name;
    data_.Clear();
    memberBytes_ = 0;
    overLimit_ = false;
    open_ = true;
    return true;
}

bool MemberSink::Write(const void* data, size_t size) {
    if (stopped_) return false;
    if (!open_ || size == 0) return true;
    unpacked_ += size;
    totals_.unpacked += size;
    memberBytes_ += size;
    // Kept up to the member's limit; the rest is counted, and said at the member's end.
    if (data_.Size() < memberLimit_ && data_.Failure().empty()) {
        const size_t keep = static_cast<size_t>(std::min<uint64_t>(size, memberLimit_ - data_.Size()));
        data_.Append(static_cast<const uint8_t*>(data), keep);
    }
    overLimit_ = overLimit_ || memberBytes_ > memberLimit_;
    CheckUnpacked();
    return !stopped_;
}

bool MemberSink::Progress(uint64_t unpackedInAll) {
    if (stopped_) return false;
    if (unpackedInAll > unpacked_) {
        totals_.unpacked += unpackedInAll - unpacked_;
        unpacked_ = unpackedInAll;
        CheckUnpacked();
    }
    return !stopped_;
}

void MemberSink::CheckUnpacked() {
    if (totals_.unpacked > limits_.maxTotalUnpacked) {
        report_.Note(format_ + " members unpack to over " + Number(limits_.maxTotalUnpacked / Limits::MiB) + " MiB in all", true);
        stopped_ = true;
    } else if (unpacked_ > std::max<uint64_t>(Limits::RatioFloor, archiveSize_ * limits_.maxRatio)) {
        // However its members are described, an archive does not grow beyond the ratio.
        report_.Note(format_ + " grows over " + Number(limits_.maxRatio) + " times", true);
        stopped_ = true;
    }
}

bool MemberSink::End(bool damaged, const std::string& why) {
    if (!open_) return !stopped_;
    open_ = false;
    const uint64_t sizeLimit = wholeFiles_ ? limits_.maxTotalUnpacked : limits_.maxMemberSize;
    if (!data_.Failure().empty())
        report_.Note("member " + name_ + " kept only in part: " + data_.Failure(), true);
    else if (overLimit_)
        report_.Note(memberLimit_ < sizeLimit ? format_ + " member grows over " + Number(limits_.maxRatio) + " times"
                                              : "member " + name_ + " over the " + Amount(sizeLimit) + " limit",
                     true);
    if (damaged) report_.Note(why.empty() ? "damaged " + format_ + " member" : why, false);
    // What came out of a damaged or cut member is scanned all the same.
    if (data_.Size() > 0 || !damaged)
        if (!visit_(name_, data_.Source())) stopped_ = true;
    if (data_.ReadFailed()) report_.Note("member " + name_ + " could not be read back from its temporary file", false);
    data_.Clear();
    return !stopped_;
}

void MemberSink::Refuse(const std::string& why, bool limit) { report_.Note(why, limit); }

bool MemberSink::Reserve(uint64_t dictionary) {
    if (dictionary > limits_.maxDictionary || totals_.dictionaries + dictionary > limits_.maxDictionaries) {
        Refuse(format_ + " dictionary of " + Number(dictionary / Limits::MiB) + " MiB, over the limit", true);
        return false;
    }
    totals_.dictionaries += dictionary;
    reserved_ += dictionary;
    return true;
}

MemberSink::~MemberSink() { totals_.dictionaries -= reserved_; }

}  // namespace RefEngine
