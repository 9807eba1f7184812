// The source of a VBA macro module: a stream of a document's compound file holds its compiled form,
// then its source in the compressed container of VBA projects (a signature byte 1, then chunks of at
// most 4096 bytes, each with a two-byte header: its size less 3, the bits 011, and whether it is
// compressed; compressed chunks are flag bytes, each for eight tokens, a literal byte or a two-byte
// copy of earlier bytes whose split of offset and length bits follows the position in the chunk).
// Every module's source begins "Attribute", so the container is found by its first literal run.
// The source is the member, so that macro signatures see it as they are written.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ObjectType.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const size_t ChunkOut = 4096;

}  // namespace

bool DecompressVbaChunk(const uint8_t* chunk, size_t size, std::vector<uint8_t>& out) {
    const size_t start = out.size();
    if (size < 2) return false;
    if (!(chunk[1] & 0x80)) {  // stored: 4096 bytes as they stand
        out.insert(out.end(), chunk + 2, chunk + std::min<size_t>(size, 2 + ChunkOut));
        return size >= 2 + ChunkOut;
    }
    size_t at = 2;
    while (at < size) {
        const uint8_t flags = chunk[at++];
        for (int bit = 0; bit < 8 && at < size; ++bit) {
            if (!((flags >> bit) & 1)) {
                if (out.size() - start >= ChunkOut) return false;
                out.push_back(chunk[at++]);
                continue;
            }
            if (at + 2 > size) return false;
            const uint16_t token = static_cast<uint16_t>(chunk[at] | chunk[at + 1] << 8);
            at += 2;
            const size_t done = out.size() - start;
            unsigned bits = 4;
            while ((1u << bits) < done) ++bits;
            const uint16_t lengthMask = static_cast<uint16_t>(0xFFFF >> bits);
            const size_t length = (token & lengthMask) + 3u;
            const size_t offset = (static_cast<size_t>(token) >> (16 - bits)) + 1;
            if (offset > done || done + length > ChunkOut) return false;
            for (size_t i = 0; i < length; ++i) out.push_back(out[out.size() - offset]);
        }
    }
    return true;
}

namespace {

class VbaFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        // A stream of a compound file; not a source already decompressed.
        static const char source[] = "Attribut";
        return (head.types & TargetBit(Ole2Target)) && !(head.bytes.size() >= 8 && std::equal(source, source + 8, head.bytes.begin()));
    }
    // A module's source is a stream of the compound file, decompressed.
    FormatId ContainerOfMembers(const ObjectHead&) const override { return FormatId::CompoundFile; }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override {
        static const std::string firstRun("\0Attribut", 9);
        uint64_t at = 0;
        for (;; ++at) {
            at = FindText(source, at, source.Size(), firstRun);
            if (at == UINT64_MAX) return;
            // Before it: the container's signature byte and a compressed chunk's header.
            if (at >= 3 && source.At(at - 3) == 1 && (source.At(at - 1) & 0xF0) == 0xB0) break;
        }
        sink.Report().archive = true;
        if (!sink.Begin("source", 0, UINT64_MAX)) return;
        std::vector<uint8_t> chunk(2 + ChunkOut), out;
        bool damaged = false;
        for (uint64_t offset = at - 2; offset + 2 <= source.Size() && !sink.Full();) {
            uint8_t header[2];
            if (source.Read(offset, header, 2) != 2) break;
            if ((header[1] & 0x70) != 0x30) {  // not a chunk: the container ended
                damaged = offset == at - 2;
                break;
            }
            const size_t size = static_cast<size_t>((header[0] | (header[1] & 0x0F) << 8) + 3);
            const size_t got = source.Read(offset, chunk.data(), size);
            out.clear();
            damaged = !DecompressVbaChunk(chunk.data(), got, out) || got < size;
            if (!sink.Write(out.data(), out.size()) || damaged) break;
            offset += size;
        }
        sink.End(damaged, "damaged VBA source");
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeVbaFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new VbaFormat); }

}  // namespace RefEngine
