// Reading ZIP archives through their central directory.
#include "refengine/Zip.h"

#include <zlib.h>

namespace RefEngine {
namespace {

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) { return static_cast<uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24)); }

bool Inflate(const std::vector<uint8_t>& packed, uint64_t expected, std::vector<uint8_t>& out) {
    z_stream stream = {};
    if (inflateInit2(&stream, -15) != Z_OK) return false;
    out.resize(static_cast<size_t>(expected));
    stream.next_in = const_cast<uint8_t*>(packed.data());
    stream.avail_in = static_cast<uInt>(packed.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    int result = inflate(&stream, Z_FINISH);
    // More output than announced is a lie about the size: refuse it.
    const bool ok = (result == Z_STREAM_END || (result == Z_BUF_ERROR && stream.avail_in == 0)) &&
                    stream.total_out == expected;
    inflateEnd(&stream);
    return ok;
}

}  // namespace

bool ForEachZipMember(ByteSource& source, const ZipLimits& limits,
                      const std::function<bool(const std::string&, const std::vector<uint8_t>&)>& visit) {
    const uint64_t size = source.Size();
    if (size < 22) return false;
    uint8_t magic[4] = {};
    if (source.Read(0, magic, 4) != 4 || U32(magic) != 0x04034b50) return false;

    // The end-of-directory record is within the last 64 KiB + 22 bytes.
    const uint64_t tail = std::min<uint64_t>(size, 65557);
    std::vector<uint8_t> end(static_cast<size_t>(tail));
    if (source.Read(size - tail, end.data(), end.size()) != end.size()) return false;
    size_t at = end.size() - 22 + 1;
    bool found = false;
    while (at-- > 0)
        if (U32(&end[at]) == 0x06054b50) {
            found = true;
            break;
        }
    if (!found) return true;  // a ZIP without a directory: nothing we can list
    const uint32_t count = U16(&end[at + 10]);
    const uint64_t directorySize = U32(&end[at + 12]), directoryOffset = U32(&end[at + 16]);
    if (directoryOffset + directorySize > size || directorySize > (64u << 20)) return true;
    std::vector<uint8_t> directory(static_cast<size_t>(directorySize));
    if (source.Read(directoryOffset, directory.data(), directory.size()) != directory.size()) return true;

    size_t pos = 0;
    for (uint32_t index = 0; index < count && index < limits.maxMembers && pos + 46 <= directory.size(); ++index) {
        const uint8_t* entry = &directory[pos];
        if (U32(entry) != 0x02014b50) break;
        const uint16_t flags = U16(entry + 8), method = U16(entry + 10);
        const uint64_t packedSize = U32(entry + 20), unpackedSize = U32(entry + 24);
        const size_t nameLength = U16(entry + 28), extraLength = U16(entry + 30), commentLength = U16(entry + 32);
        const uint64_t localOffset = U32(entry + 42);
        if (pos + 46 + nameLength > directory.size()) break;
        const std::string name(reinterpret_cast<const char*>(entry + 46), nameLength);
        pos += 46 + nameLength + extraLength + commentLength;

        if (name.empty() || name.back() == '/' || (flags & 1)) continue;  // folders and encrypted members
        if (unpackedSize > limits.maxMemberSize) continue;
        if (unpackedSize > (1u << 20) && unpackedSize > packedSize * limits.maxRatio) continue;  // a bomb
        if (method != 0 && method != 8) continue;
        uint8_t local[30];
        if (localOffset + 30 > size || source.Read(localOffset, local, 30) != 30 || U32(local) != 0x04034b50) continue;
        const uint64_t dataOffset = localOffset + 30 + U16(local + 26) + U16(local + 28);
        if (dataOffset + packedSize > size) continue;
        std::vector<uint8_t> packed(static_cast<size_t>(packedSize));
        if (source.Read(dataOffset, packed.data(), packed.size()) != packed.size()) continue;
        std::vector<uint8_t> data;
        if (method == 0) {
            if (packedSize != unpackedSize) continue;
            data.swap(packed);
        } else if (!Inflate(packed, unpackedSize, data)) {
            continue;
        }
        if (!visit(name, data)) break;
    }
    return true;
}

}  // namespace RefEngine
