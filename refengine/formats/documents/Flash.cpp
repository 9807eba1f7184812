// Compressed Flash files: "CWS" (zlib) and "ZWS" (LZMA) keep the movie's body packed behind an 8-byte
// header (signature, version, the unpacked length with the header). The member is the movie as an
// uncompressed Flash file ("FWS"), so that signatures of Flash files see its tags.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/Limits.h"

#include "C/LzmaDec.h"

#include <algorithm>
#include <cstdlib>

namespace RefEngine {
namespace {

void* LzmaAlloc(ISzAllocPtr, size_t size) { return std::malloc(size); }
void LzmaFree(ISzAllocPtr, void* address) { std::free(address); }

// ZWS: after the header, the packed length (4 bytes), LZMA's 5 bytes of properties, then the raw stream.
bool UnpackLzma(ByteSource& source, MemberSink& sink) {
    uint8_t props[LZMA_PROPS_SIZE];
    if (source.Read(12, props, sizeof props) != sizeof props) return false;
    const uint32_t dictionary = Le32(props + 1);
    if (!sink.Reserve(std::max<uint32_t>(dictionary, 4096))) return true;  // refused, and said so
    static const ISzAlloc alloc = {LzmaAlloc, LzmaFree};
    CLzmaDec decoder;
    LzmaDec_Construct(&decoder);
    if (LzmaDec_Allocate(&decoder, props, LZMA_PROPS_SIZE, &alloc) != SZ_OK) return false;
    LzmaDec_Init(&decoder);
    std::vector<uint8_t> in(Limits::DecodeChunk), out(Limits::DecodeChunk);
    uint64_t offset = 12 + LZMA_PROPS_SIZE;
    bool intact = false;
    for (size_t held = 0, used = 0; !sink.Full();) {
        if (used == held) {
            held = source.Read(offset, in.data(), in.size());
            offset += held;
            used = 0;
        }
        SizeT inLength = held - used, outLength = out.size();
        ELzmaStatus status;
        const SRes result = LzmaDec_DecodeToBuf(&decoder, out.data(), &outLength, in.data() + used, &inLength, LZMA_FINISH_ANY, &status);
        used += inLength;
        if (!sink.Write(out.data(), outLength)) {
            intact = true;  // the sink's limits said enough: that is reported by the sink
            break;
        }
        if (result != SZ_OK) break;
        if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
            intact = true;
            break;
        }
        if (inLength == 0 && outLength == 0) {
            intact = status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK && held == 0;
            break;
        }
    }
    LzmaDec_Free(&decoder, &alloc);
    return intact || sink.Full();
}

class FlashFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        const std::vector<uint8_t>& b = head.bytes;
        return b.size() >= 8 && (b[0] == 'C' || b[0] == 'Z') && b[1] == 'W' && b[2] == 'S' && b[3] < 64;
    }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        if (!Recognizes(head)) return;  // read only what is one (the header's length below)
        sink.Report().archive = true;
        const uint32_t length = Le32(&head.bytes[4]);
        if (!sink.Begin("movie.swf", source.Size(), length < 8 ? UINT64_MAX : length - 8)) return;
        const uint8_t header[8] = {'F', 'W', 'S', head.bytes[3], head.bytes[4], head.bytes[5], head.bytes[6], head.bytes[7]};
        sink.Write(header, sizeof header);
        const bool intact = head.bytes[0] == 'C' ? InflateInto(source, 8, source.Size() - 8, sink, true) : UnpackLzma(source, sink);
        sink.End(!intact, "damaged compressed Flash file");
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeFlashFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new FlashFormat); }

}  // namespace RefEngine
