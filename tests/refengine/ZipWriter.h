// Writes ZIP archives for tests: stored or deflated members, with sizes that may lie, and the layouts
// that real archives and hostile ones have (data before the archive, ZIP64 records, end records that
// disagree with their directory, many entries for one member).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace TestSupport {

// The data compressed in one go; windowBits as zlib takes them (-15: raw deflate, 16 + 15: gzip).
inline std::string Deflate(const std::string& data, int windowBits) {
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY);
    std::string packed(deflateBound(&stream, static_cast<uLong>(data.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&packed[0]);
    stream.avail_out = static_cast<uInt>(packed.size());
    deflate(&stream, Z_FINISH);
    packed.resize(stream.total_out);
    deflateEnd(&stream);
    return packed;
}

class ZipWriter {
public:
    struct Layout {
        std::string stub;            // bytes before the archive (a self-extractor's program)
        bool adjustOffsets = true;   // offsets count from the file's start (true) or the archive's
        bool zip64 = false;          // sizes and offsets in ZIP64 records
        int count = -1;              // what the end record says (-1: the truth)
    };

    // declaredSize: what the headers claim the member unpacks to (0: the truth).
    void Add(const std::string& name, const std::string& data, bool deflated = true, uint32_t declaredSize = 0) {
        const std::string packed = deflated ? Deflate(data, -15) : data;
        Entry entry;
        entry.name = name;
        entry.method = deflated ? 8 : 0;
        entry.crc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        entry.packed = packed.size();
        entry.unpacked = declaredSize ? declaredSize : data.size();
        entry.offset = body_.size();
        Put(body_, 0x04034b50, 4);
        Put(body_, 20, 2);
        Put(body_, 0, 2);
        Put(body_, entry.method, 2);
        Put(body_, 0, 4);
        Put(body_, entry.crc, 4);
        Put(body_, static_cast<uint32_t>(entry.packed), 4);
        Put(body_, static_cast<uint32_t>(entry.unpacked), 4);
        Put(body_, static_cast<uint32_t>(name.size()), 2);
        Put(body_, 0, 2);
        body_ += name + packed;
        entries_.push_back(entry);
    }
    // One more directory entry for the first member's bytes, under another name and claimed size.
    void AddAliasOfFirst(const std::string& name, uint64_t declaredSize = 0) {
        Entry entry = entries_.front();
        entry.name = name;
        if (declaredSize) entry.unpacked = declaredSize;
        entries_.push_back(entry);
    }

    std::string Bytes() const { return Bytes(Layout()); }
    std::string Bytes(const Layout& layout) const {
        const uint64_t base = layout.adjustOffsets ? layout.stub.size() : 0;
        std::string directory;
        for (const Entry& e : entries_) {
            Put(directory, 0x02014b50, 4);
            Put(directory, 45, 2);
            Put(directory, 45, 2);
            Put(directory, 0, 2);
            Put(directory, e.method, 2);
            Put(directory, 0, 4);
            Put(directory, e.crc, 4);
            Put(directory, layout.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(e.packed), 4);
            Put(directory, layout.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(e.unpacked), 4);
            Put(directory, static_cast<uint32_t>(e.name.size()), 2);
            Put(directory, layout.zip64 ? 28 : 0, 2);
            Put(directory, 0, 2);
            Put(directory, 0, 2);
            Put(directory, 0, 2);
            Put(directory, 0, 4);
            Put(directory, layout.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(base + e.offset), 4);
            directory += e.name;
            if (layout.zip64) {
                Put(directory, 1, 2);
                Put(directory, 24, 2);
                Put64(directory, e.unpacked);
                Put64(directory, e.packed);
                Put64(directory, base + e.offset);
            }
        }
        std::string out = layout.stub + body_;
        const uint64_t directoryOffset = base + body_.size();
        out += directory;
        const uint16_t count = static_cast<uint16_t>(layout.count >= 0 ? layout.count : static_cast<int>(entries_.size()));
        if (layout.zip64) {
            const uint64_t recordAt = layout.stub.size() + body_.size() + directory.size();
            Put(out, 0x06064b50, 4);
            Put64(out, 44);
            Put(out, 45, 2);
            Put(out, 45, 2);
            Put(out, 0, 4);
            Put(out, 0, 4);
            Put64(out, count);
            Put64(out, count);
            Put64(out, directory.size());
            Put64(out, directoryOffset);
            Put(out, 0x07064b50, 4);
            Put(out, 0, 4);
            Put64(out, recordAt);
            Put(out, 1, 4);
        }
        Put(out, 0x06054b50, 4);
        Put(out, 0, 2);
        Put(out, 0, 2);
        Put(out, layout.zip64 ? 0xFFFF : count, 2);
        Put(out, layout.zip64 ? 0xFFFF : count, 2);
        Put(out, layout.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(directory.size()), 4);
        Put(out, layout.zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(directoryOffset), 4);
        Put(out, 0, 2);
        return out;
    }

private:
    struct Entry {
        std::string name;
        uint16_t method = 0;
        uint32_t crc = 0;
        uint64_t packed = 0, unpacked = 0, offset = 0;
    };
    static void Put(std::string& out, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    static void Put64(std::string& out, uint64_t value) {
        for (int i = 0; i < 8; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    std::string body_;
    std::vector<Entry> entries_;
};

}  // namespace TestSupport
