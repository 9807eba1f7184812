// Linux programs packed by UPX (ELF, i386 and amd64): after the loader's program headers come its
// "l_info" (a checksum, "UPX!", the loader's size, the version, the format) and "p_info" (the original
// file's length and the length of a block), then the original file in blocks, each behind a "b_info"
// (its unpacked and packed lengths, the method, the filter and the filter's mark); a block that would
// not shrink stands as it is. The blocks, unpacked and their calls and jumps restored, are the member:
// the original's headers and segments one after another, so that signatures find its code.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/ObjectType.h"
#include "refengine/unpackers/UpxCodecs.h"
#include "refengine/Limits.h"

#include <algorithm>

namespace RefEngine {
namespace {

const uint8_t FormatElfI386 = 12, FormatElfAmd64 = 22;

struct ElfPacking {
    uint64_t blocks = 0;  // where the first block's b_info lies
    uint32_t fileLength = 0, blockLength = 0;
};

bool FindPacking(const std::vector<uint8_t>& bytes, ElfPacking& out) {
    static const char magic[] = "UPX!";
    const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), Limits::UpxHeaderWithin));
    for (auto at = bytes.begin(); (at = std::search(at, end, magic, magic + 4)) != end; ++at) {
        const size_t info = static_cast<size_t>(at - bytes.begin());
        if (info < 4 || info + 20 > bytes.size()) continue;
        const uint8_t version = bytes[info + 6], format = bytes[info + 7];
        if (version < 11 || version > 14 || (format != FormatElfI386 && format != FormatElfAmd64)) continue;
        out.blocks = info + 20;
        out.fileLength = Le32(&bytes[info + 12]);
        out.blockLength = Le32(&bytes[info + 16]);
        if (out.fileLength > 0 && out.blockLength > 0) return true;
    }
    return false;
}

class UpxElfFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        ElfPacking packing;
        return (head.types & TargetBit(ElfTarget)) && FindPacking(head.bytes, packing);
    }

    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        ElfPacking packing;
        if (!FindPacking(head.bytes, packing)) return;
        sink.Report().archive = true;
        if (packing.fileLength > sink.Limits().maxMemberSize) {
            sink.Refuse("UPX image over " + std::to_string(sink.Limits().maxMemberSize >> 20) + " MB", true);
            return;
        }
        if (!sink.Begin("UPX original", source.Size(), packing.fileLength)) return;
        bool damaged = false;
        std::vector<uint8_t> in, out;
        uint64_t at = packing.blocks, written = 0;
        while (written < packing.fileLength && !sink.Stopped()) {
            uint8_t info[12];
            if (source.Read(at, info, sizeof info) != sizeof info) break;
            const uint32_t unpacked = Le32(info), packed = Le32(info + 4);
            const uint8_t method = info[8], filter = info[9], mark = info[10];
            // What follows the last block is the loader's, not a block: a block is never longer than
            // the packer's block, nor packed longer than unpacked.
            if (unpacked == 0 || unpacked > packing.blockLength || unpacked > packing.fileLength - written || packed == 0 ||
                packed > unpacked)
                break;
            in.resize(packed);
            if (source.Read(at + sizeof info, in.data(), packed) != packed) {
                damaged = true;
                break;
            }
            if (packed == unpacked) {
                out = in;
            } else if (!UpxMethodKnown(method)) {
                sink.Refuse("UPX block packed by an unknown method");
                break;
            } else if (!UnpackUpxBlock(method, in, unpacked, out)) {
                damaged = true;
                break;
            }
            UndoUpxFilter(filter, mark, static_cast<uint32_t>(out.size()), out);
            if (!sink.Write(out.data(), out.size())) break;
            written += unpacked;
            at += sizeof info + packed;
        }
        sink.End(damaged || written == 0, "damaged UPX image");
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeUpxElfFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new UpxElfFormat); }

}  // namespace RefEngine
