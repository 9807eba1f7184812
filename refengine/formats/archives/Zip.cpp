// ZIP archives, read through their central directory as real ones are written: data may come before
// the archive (self-extractors, with or without adjusted offsets), ZIP64 sizes and offsets, an end
// record whose count disagrees with its directory, members named like folders that hold data. Stored
// and deflated members are unpacked here (deflate through zlib), in pieces into the sink; an archive
// with members packed by other methods is handed whole to 7-Zip's reader, unless its members share
// bytes (a bomb's way of unpacking one piece many times), which is refused.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/Scratch.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const uint32_t LocalMagic = 0x04034b50, CentralMagic = 0x02014b50, EndMagic = 0x06054b50;
const uint32_t Zip64EndMagic = 0x06064b50, Zip64LocatorMagic = 0x07064b50;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
}
uint64_t U64(const uint8_t* p) { return U32(p) | (static_cast<uint64_t>(U32(p + 4)) << 32); }

struct Member {
    std::string name;
    uint16_t flags = 0, method = 0;
    uint64_t packed = 0, unpacked = 0, local = 0;
    uint64_t dataStart = 0, dataEnd = 0;  // the bytes the member occupies, its local header included
    bool refused = false;
};

// The ZIP64 extra field's values, for the fields the directory entry marks as too large.
void ReadZip64Extra(const uint8_t* extra, size_t length, Member& member, bool wantUnpacked, bool wantPacked,
                    bool wantLocal) {
    for (size_t at = 0; at + 4 <= length;) {
        const uint16_t id = U16(extra + at), size = U16(extra + at + 2);
        if (at + 4 + size > length) return;
        if (id == 0x0001) {
            const uint8_t* field = extra + at + 4;
            size_t used = 0;
            auto next = [&](uint64_t& value) {
                if (used + 8 <= size) {
                    value = U64(field + used);
                    used += 8;
                }
            };
            if (wantUnpacked) next(member.unpacked);
            if (wantPacked) next(member.packed);
            if (wantLocal) next(member.local);
            return;
        }
        at += 4 + size;
    }
}

void ReadZip(ByteSource& source, MemberSink& sink) {
    ArchiveReport& report = sink.Report();
    const uint64_t size = source.Size();
    if (size < 22) return;

    // The end record lies within the last 64 KiB + 22 bytes, whatever comes before the archive.
    const uint64_t tail = std::min<uint64_t>(size, 65557);
    ScratchBuffer scratch;
    std::vector<uint8_t>& end = scratch.bytes;
    end.resize(static_cast<size_t>(tail));
    if (source.Read(size - tail, end.data(), end.size()) != end.size()) return;
    size_t at = end.size() - 22 + 1;
    bool found = false;
    while (at-- > 0)
        if (U32(&end[at]) == EndMagic) {
            found = true;
            break;
        }
    if (!found) return;
    const uint64_t endAt = size - tail + at;
    uint64_t directorySize = U32(&end[at + 12]), directoryOffset = U32(&end[at + 16]);
    uint64_t directoryEnd = endAt;
    // ZIP64: the locator just before the end record names the 64-bit end record.
    if (endAt >= 20) {
        uint8_t locator[20];
        if (source.Read(endAt - 20, locator, 20) == 20 && U32(locator) == Zip64LocatorMagic) {
            uint8_t record[56];
            const uint64_t recordAt = U64(locator + 8);
            if (recordAt + 56 <= size && source.Read(recordAt, record, 56) == 56 && U32(record) == Zip64EndMagic) {
                directorySize = U64(record + 40);
                directoryOffset = U64(record + 48);
                directoryEnd = recordAt;
            }
        }
    }
    if (directorySize > directoryEnd || directorySize > Limits::ZipDirectory) return;
    // Offsets count from the archive's own start; a self-extractor's stub may come before it.
    const uint64_t directoryAt = directoryEnd - directorySize;
    const int64_t shift = static_cast<int64_t>(directoryAt) - static_cast<int64_t>(directoryOffset);
    std::vector<uint8_t> directory(static_cast<size_t>(directorySize));
    if (source.Read(directoryAt, directory.data(), directory.size()) != directory.size()) return;
    if (directory.size() < 4 || U32(directory.data()) != CentralMagic) {
        // An end record without a directory where it says: an archive only if it begins like one.
        uint8_t magic[4];
        if (source.Read(0, magic, 4) == 4 && U32(magic) == LocalMagic) {
            report.archive = true;
            report.Note("damaged ZIP directory", false);
        }
        return;
    }
    report.archive = true;

    // Every entry of the directory, however many the end record claims.
    std::vector<Member> members;
    for (size_t pos = 0; pos + 46 <= directory.size();) {
        const uint8_t* entry = &directory[pos];
        if (U32(entry) != CentralMagic) break;
        const size_t nameLength = U16(entry + 28), extraLength = U16(entry + 30), commentLength = U16(entry + 32);
        if (pos + 46 + nameLength + extraLength > directory.size()) {
            report.Note("damaged ZIP directory", false);
            break;
        }
        if (members.size() >= sink.Limits().maxMembers) {
            report.Note("over " + std::to_string(sink.Limits().maxMembers) + " ZIP members", true);
            break;
        }
        Member m;
        m.flags = U16(entry + 8);
        m.method = U16(entry + 10);
        m.packed = U32(entry + 20);
        m.unpacked = U32(entry + 24);
        m.local = U32(entry + 42);
        m.name.assign(reinterpret_cast<const char*>(entry + 46), nameLength);
        ReadZip64Extra(entry + 46 + nameLength, extraLength, m, m.unpacked == 0xFFFFFFFF, m.packed == 0xFFFFFFFF,
                       m.local == 0xFFFFFFFF);
        members.push_back(m);
        pos += 46 + nameLength + extraLength + commentLength;
    }

    // Where each member's data lies, from its local header, found as written or after the stub.
    for (Member& m : members) {
        uint8_t local[30];
        uint64_t localAt = m.local;
        bool ok = false;
        for (int attempt = 0; attempt < 2 && !ok; ++attempt) {
            if (attempt == 1) {
                if (shift == 0) break;
                localAt = static_cast<uint64_t>(static_cast<int64_t>(m.local) + shift);
            }
            ok = localAt + 30 <= size && source.Read(localAt, local, 30) == 30 && U32(local) == LocalMagic;
        }
        const uint64_t dataAt = localAt + 30 + (ok ? U16(local + 26) + U16(local + 28) : 0);
        if (!ok || dataAt > size || m.packed > size - dataAt) {
            m.refused = true;
            report.Note("damaged ZIP member", false);
            continue;
        }
        m.dataStart = localAt;
        m.dataEnd = dataAt + m.packed;
    }
    // Two members that share bytes are a bomb's way of unpacking one piece many times.
    std::vector<Member*> order;
    for (Member& m : members)
        if (!m.refused) order.push_back(&m);
    std::sort(order.begin(), order.end(), [](const Member* a, const Member* b) { return a->dataStart < b->dataStart; });
    bool overlapping = false;
    for (size_t i = 1; i < order.size(); ++i)
        if (order[i]->dataStart < order[i - 1]->dataEnd) {
            if (!order[i - 1]->refused) report.Note("overlapping ZIP members", true);
            order[i - 1]->refused = order[i]->refused = true;
            overlapping = true;
        }

    // Other methods than stored and deflate: 7-Zip's reader unpacks the archive, once no members share bytes.
    bool otherMethods = false;
    for (const Member& m : members) otherMethods = otherMethods || (!m.refused && m.method != 0 && m.method != 8 && !(m.flags & 1));
    if (otherMethods && !overlapping) {
        ReadZipWithSevenZip(source, sink);
        return;
    }

    for (const Member& m : members) {
        if (m.refused) continue;
        const bool folder = !m.name.empty() && m.name.back() == '/';
        if (folder && m.unpacked == 0 && m.packed == 0) continue;  // a folder, and only that
        if (m.flags & 1) {
            sink.Refuse("encrypted ZIP member");
            continue;
        }
        if (m.method != 0 && m.method != 8) {
            sink.Refuse("ZIP member packed with method " + std::to_string(m.method));
            continue;
        }
        if (!sink.Begin(m.name, m.packed, m.unpacked)) {
            if (sink.Stopped()) break;
            continue;
        }
        const uint64_t dataAt = m.dataEnd - m.packed;
        const bool intact = m.method == 0 ? CopyInto(source, dataAt, m.packed, sink)
                                          : InflateInto(source, dataAt, m.packed, sink, false);
        // Damaged at its end: what came out is still scanned, the report says it was cut.
        if (!sink.End(!intact, "damaged ZIP member")) break;
    }
}

class ZipFormat : public ArchiveFormat {
public:
    // The directory is found from the end, whatever comes before the archive: every object is asked.
    bool Recognizes(const ObjectHead&) const override { return true; }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override { ReadZip(source, sink); }
    // An Office Open XML document is a ZIP whose listing names its content types and its parts' folder.
    FormatId ContainerOfMembers(const ObjectHead& head) const override {
        auto has = [&head](const char* text) {
            return std::search(head.bytes.begin(), head.bytes.end(), text, text + std::strlen(text)) != head.bytes.end();
        };
        if (!has("[Content_Types].xml")) return Id();
        if (has("word/")) return FormatId::OoxmlWord;
        if (has("xl/")) return FormatId::OoxmlXl;
        if (has("ppt/")) return FormatId::OoxmlPpt;
        return Id();
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeZipFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new ZipFormat); }

}  // namespace RefEngine
