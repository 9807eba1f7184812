// Programs packed by UPX (32-bit Windows): the packer's header ("UPX!", then its version, the format,
// the method, the level, two checksums, the unpacked and packed lengths, the file's length and the
// filter) lies in the program's headers; a first section holds nothing in the file (the image unpacks
// into it), and the packed image begins the second, which the entry point lies in. Methods NRV2B,
// NRV2D and NRV2E (32-bit words of flag bits, the highest first) are unpacked here, the others (LZMA)
// are run by the interpreter (PackedProgram.cpp); the image (the program's sections as they lie in
// memory) is the member, so that signatures find the code. Call filters are not undone, so a
// signature across a call's address may miss.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/ObjectType.h"
#include "refengine/executables/PeImage.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const uint8_t FormatWin32Pe = 9, MethodNrv2bLe32 = 2, MethodNrv2dLe32 = 5, MethodNrv2eLe32 = 8;

// The three NRV variants share their literals and their end; they differ in how an offset and a
// length are written.
enum class Nrv { B, D, E };

struct PackHeader {
    uint8_t version = 0, format = 0, method = 0;
    uint32_t unpacked = 0, packed = 0;
};

bool FindHeader(const std::vector<uint8_t>& bytes, PackHeader& out) {
    static const char magic[] = "UPX!";
    const auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), Limits::UpxHeaderWithin));
    for (auto at = bytes.begin(); (at = std::search(at, end, magic, magic + 4)) != end; ++at) {
        const size_t i = static_cast<size_t>(at - bytes.begin());
        if (i + 32 > bytes.size()) return false;
        const uint8_t* h = &bytes[i];
        out.version = h[4];
        out.format = h[5];
        out.method = h[6];
        out.unpacked = Le32(h + 16);
        out.packed = Le32(h + 20);
        if (out.version >= 10 && out.version <= 14 && out.format == FormatWin32Pe && out.packed > 0 && out.unpacked > 0) return true;
    }
    return false;
}

// An NRV variant over the packed bytes; false when they are damaged or would unpack beyond max.
bool UnpackNrv(Nrv variant, const std::vector<uint8_t>& in, size_t max, std::vector<uint8_t>& out) {
    size_t at = 0;
    uint32_t word = 0;
    int left = 0;
    bool ok = true;
    auto bit = [&]() -> uint32_t {
        if (left == 0) {
            if (at + 4 > in.size()) {
                ok = false;
                return 1;  // ends every loop that waits for a set bit
            }
            word = Le32(&in[at]);
            at += 4;
            left = 32;
        }
        return (word >> --left) & 1;
    };
    // A number of at least 2: its bits after the leading one, each followed by "last?".
    auto number = [&](uint32_t limit, uint32_t& value) {
        value = 1;
        do {
            value = value * 2 + bit();
            if (value > limit || !ok) return false;
        } while (!bit());
        return true;
    };
    uint32_t lastOffset = 1;
    for (;;) {
        while (bit() && ok) {
            if (at >= in.size() || out.size() >= max) return false;
            out.push_back(in[at++]);
        }
        if (!ok) return false;
        uint32_t offset = 1;
        if (variant == Nrv::B) {
            if (!number(0x2000000, offset)) return false;  // past the end mark's 0x1000002
        } else {
            // Two bits a step: the next bit of the number, "last?", then one more bit.
            for (;;) {
                offset = offset * 2 + bit();
                if (bit() || !ok) break;
                offset = (offset - 1) * 2 + bit();
                if (offset > 0x2000000) return false;
            }
            if (!ok || offset > 0x2000000) return false;
        }
        uint32_t lengthBit = 0;
        if (offset == 2) {
            offset = lastOffset;
            if (variant != Nrv::B) lengthBit = bit();
        } else {
            if (at >= in.size()) return false;
            offset = (offset - 3) * 256 + in[at++];
            if (offset == 0xFFFFFFFF) return true;  // the end mark
            if (variant != Nrv::B) {
                lengthBit = (offset & 1) ^ 1;
                offset >>= 1;
            }
            lastOffset = ++offset;
        }
        uint32_t length = 0;
        if (variant == Nrv::E) {
            if (lengthBit) length = 1 + bit();
            else if (bit()) length = 3 + bit();
            else if (!number(0x1000000, length)) return false;
            else length += 3;
        } else {
            length = (variant == Nrv::B ? bit() : lengthBit) * 2 + bit();
            if (length == 0) {
                if (!number(0x1000000, length)) return false;
                length += 2;
            }
        }
        length += offset > (variant == Nrv::B ? 0xD00u : 0x500u) ? 2 : 1;
        if (!ok || offset > out.size() || out.size() + length > max) return false;
        for (uint32_t k = 0; k < length; ++k) out.push_back(out[out.size() - offset]);
    }
}

}  // namespace

bool UpxUnpacks(const std::vector<uint8_t>& head) {
    PackHeader header;
    return FindHeader(head, header) &&
           (header.method == MethodNrv2bLe32 || header.method == MethodNrv2dLe32 || header.method == MethodNrv2eLe32);
}

namespace {

class UpxFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override { return (head.types & TargetBit(PeTarget)) && UpxUnpacks(head.bytes); }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        PackHeader header;
        ObjectInfo info;
        if (!UpxUnpacks(head.bytes) || !FindHeader(head.bytes, header) || !ReadPe(source, info)) return;
        // UPX's layout: a first section without bytes in the file (where the image unpacks to), then
        // the one the packed image begins, which the entry point lies in. A program changed after it
        // was packed (another packer's section holding the entry point) is left as it is.
        if (info.sections.size() < 2 || info.sections[0].rawSize != 0) return;
        const ObjectInfo::Section* start = &info.sections[1];
        if (info.entryPoint < start->offset || info.entryPoint >= start->offset + start->size) return;
        sink.Report().archive = true;
        const Nrv variant = header.method == MethodNrv2bLe32 ? Nrv::B : header.method == MethodNrv2dLe32 ? Nrv::D : Nrv::E;
        const uint64_t packed = std::min<uint64_t>(header.packed, source.Size() - start->offset);
        if (header.unpacked > sink.Limits().maxMemberSize) {
            sink.Refuse("UPX image over " + std::to_string(sink.Limits().maxMemberSize >> 20) + " MB", true);
            return;
        }
        if (!sink.Begin("UPX image", packed, header.unpacked)) return;
        std::vector<uint8_t> in(static_cast<size_t>(packed)), out;
        in.resize(source.Read(start->offset, in.data(), in.size()));
        const bool intact = UnpackNrv(variant, in, header.unpacked, out);
        sink.Write(out.data(), out.size());
        // NRV2D and NRV2E were checked against samples packed here, not by UPX itself (Debian has
        // none): where they fail, the program stays as it was before they were read, not flagged.
        sink.End(!intact && variant == Nrv::B, "damaged UPX image");
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeUpxFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new UpxFormat); }

}  // namespace RefEngine
