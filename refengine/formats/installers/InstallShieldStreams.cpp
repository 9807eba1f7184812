// The files an InstallShield setup launcher streams after its image (its MSI package, its texts, the
// files it runs first): "InstallShield" and a zero byte, a count, 30 bytes, then each file behind a
// record of 0x138 bytes (its name in a field of 260 bytes, its kind, its stored size). A file of kind
// 6 is zlib-compressed, then enciphered byte by byte with a key made from its name; the key starts
// again at every 1,024 bytes. Files of other kinds are reported, not guessed at.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const char Magic[] = "InstallShield";  // with its zero byte: 14 bytes
const size_t MagicBytes = sizeof Magic;
const size_t HeaderBytes = MagicBytes + 2 + 30;
const size_t RecordBytes = 0x138, NameBytes = 0x104;
const uint32_t CompressedEnciphered = 6;
// The launcher's debug record may come first in the overlay; the header lies within this much of it.
const uint8_t KeySeed[4] = {0x13, 0x35, 0x86, 0x07};

struct StreamRecord {
    std::string name;
    uint32_t kind = 0;
    uint64_t size = 0;
};

// The record at offset; false when it is not one (a name of printable characters, zero-terminated).
bool ReadRecord(ByteSource& source, uint64_t offset, StreamRecord& out) {
    uint8_t record[RecordBytes];
    if (source.Read(offset, record, RecordBytes) != RecordBytes) return false;
    const uint8_t* end = static_cast<const uint8_t*>(std::memchr(record, 0, NameBytes));
    if (!end || end == record) return false;
    for (const uint8_t* c = record; c < end; ++c)
        if (*c < 0x20 || *c == 0x7F) return false;
    out.name.assign(reinterpret_cast<const char*>(record), end - record);
    out.kind = Le32(record + NameBytes);
    out.size = Le32(record + NameBytes + 8);
    return true;
}

// Where the header begins (at most Limits::InstallShieldLead into the overlay), or UINT64_MAX.
uint64_t FindHeader(ByteSource& source, uint64_t overlay) {
    const uint64_t at = FindText(source, overlay, overlay + Limits::InstallShieldLead + MagicBytes, std::string(Magic, MagicBytes));
    StreamRecord first;
    if (at == UINT64_MAX || !ReadRecord(source, at + HeaderBytes, first)) return UINT64_MAX;
    uint8_t count[2];
    return source.Read(at + MagicBytes, count, 2) == 2 && (count[0] || count[1]) ? at : UINT64_MAX;
}

// A stream's enciphered bytes as the zlib stream they hide: each byte's halves swapped, the key
// byte added (exclusive or) and the result inverted.
class DecipheredSource : public ByteSource {
public:
    DecipheredSource(ByteSource& source, uint64_t offset, uint64_t size, const std::string& name)
        : source_(source), offset_(offset), size_(size), buffer_(65536) {
        for (size_t i = 0; i < name.size(); ++i) key_.push_back(static_cast<uint8_t>(name[i]) ^ KeySeed[i % 4]);
    }
    uint64_t Size() const override { return size_; }
    size_t Read(uint64_t offset, uint8_t* out, size_t size) override {
        if (offset >= size_) return 0;
        size = static_cast<size_t>(std::min<uint64_t>(size, size_ - offset));
        const size_t got = source_.Read(offset_ + offset, out, size);
        for (size_t i = 0; i < got; ++i) out[i] = Decipher(out[i], offset + i);
        return got;
    }
    uint8_t At(uint64_t offset) override {
        uint8_t byte = 0;
        Read(offset, &byte, 1);
        return byte;
    }
    const uint8_t* View(uint64_t offset, size_t& size) override {
        size = Read(offset, buffer_.data(), buffer_.size());
        return buffer_.data();
    }

private:
    uint8_t Decipher(uint8_t byte, uint64_t at) const {
        const uint8_t swapped = static_cast<uint8_t>(byte << 4 | byte >> 4);
        return static_cast<uint8_t>(~(swapped ^ key_[(at % 1024) % key_.size()]));
    }

    ByteSource& source_;
    uint64_t offset_, size_;
    std::vector<uint8_t> key_;
    std::vector<uint8_t> buffer_;
};

class InstallShieldStreamsFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        if (!head.overlay || head.overlayBytes.empty()) return false;
        MemorySource overlay(head.overlayBytes.data(), head.overlayBytes.size());
        return FindHeader(overlay, 0) != UINT64_MAX;
    }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        const uint64_t header = FindHeader(source, head.overlay);
        if (header == UINT64_MAX) return;
        sink.Report().archive = true;
        uint8_t countBytes[2];
        source.Read(header + MagicBytes, countBytes, 2);
        const unsigned count = countBytes[0] | countBytes[1] << 8;
        uint64_t at = header + HeaderBytes;
        for (unsigned index = 0; index < count && !sink.Stopped(); ++index) {
            StreamRecord record;
            if (!ReadRecord(source, at, record)) return sink.Refuse("InstallShield stream record damaged");
            const uint64_t data = at + RecordBytes;
            const bool cut = record.size > source.Size() - data;
            const uint64_t stored = cut ? source.Size() - data : record.size;
            if (record.kind != CompressedEnciphered) {
                sink.Refuse("InstallShield stream of an unknown kind");
            } else if (sink.Begin(record.name, stored, UINT64_MAX)) {
                DecipheredSource deciphered(source, data, stored, record.name);
                const bool intact = InflateInto(deciphered, 0, stored, sink, true);
                if (!sink.End(cut || !intact, "InstallShield stream damaged")) return;
            }
            if (cut) return;
            at = data + stored;
        }
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeInstallShieldStreamsFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new InstallShieldStreamsFormat); }

}  // namespace RefEngine
