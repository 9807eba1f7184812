// Programs packed by UPX (32-bit Windows): the packer's header ("UPX!", then its version, the format,
// the method, the level, two checksums, the unpacked and packed lengths, the file's length and the
// filter) lies in the program's headers; a first section holds nothing in the file (the image unpacks
// into it), and the packed image lies in the second, which the entry point lies in, from where the
// stub's first instruction takes it. Its methods (UpxCodecs.cpp) are unpacked here, other packers'
// stubs are run by the interpreter (PackedProgram.cpp);
// the image (the program's sections as they lie in memory) is the member, so that signatures find the
// code, with the calls the packer's filter rewrote restored as the stub restores them, behind the
// packed program's headers: a program file of the original's code, entered where the original was.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/ObjectType.h"
#include "refengine/executables/PeImage.h"
#include "refengine/unpackers/UpxCodecs.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const uint8_t FormatWin32Pe = 9;

struct PackHeader {
    uint8_t version = 0, format = 0, method = 0, filter = 0, mark = 0;
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
        out.filter = h[28];
        out.mark = h[29];
        if (out.version >= 10 && out.version <= 14 && out.format == FormatWin32Pe && out.packed > 0 && out.unpacked > 0) return true;
    }
    return false;
}

}  // namespace

bool UpxUnpacks(const std::vector<uint8_t>& head) {
    PackHeader header;
    return FindHeader(head, header) && UpxMethodKnown(header.method);
}

namespace {

// The stub's first instructions, "pushad; mov esi, SOURCE; lea edi, [esi + DISTANCE]": where the
// packed bytes begin and where they unpack to, as addresses. UPX 4 starts its packed bytes a few bytes
// into the section, older ones at its start; only the stub knows.
bool ReadStubStart(const uint8_t* stub, size_t size, uint32_t& source, uint32_t& destination) {
    // A library's stub unpacks only when the library is loaded: "cmp byte [esp+8], 1; jnz ..." first.
    static const uint8_t libraryStart[] = {0x80, 0x7C, 0x24, 0x08, 0x01, 0x0F, 0x85};
    if (size >= 11 && std::memcmp(stub, libraryStart, sizeof libraryStart) == 0) {
        stub += 11;
        size -= 11;
    }
    if (size < 12 || stub[0] != 0x60 || stub[1] != 0xBE || stub[6] != 0x8D || stub[7] != 0xBE) return false;
    source = Le32(stub + 2);
    destination = source + Le32(stub + 8);
    return true;
}

// The stub's loop that restores the calls and jumps the packer's filter rewrote starts "pop esi;
// mov edi, esi; mov ecx, BOUND": how far it goes (a count of calls, or of bytes, as the filter has it).
// Which filter, and its mark, the packer's header says.
bool FindFilterBound(const std::vector<uint8_t>& stub, uint32_t& bound) {
    static const uint8_t start[] = {0x5E, 0x89, 0xF7, 0xB9};
    const auto at = std::search(stub.begin(), stub.end(), start, start + sizeof start);
    if (at == stub.end() || stub.end() - at < static_cast<std::ptrdiff_t>(sizeof start + 4)) return false;
    bound = Le32(&*at + sizeof start);
    return true;
}

// After the imports, the stub moves absolute addresses back: its import list (where the stub's
// "lea edi, [esi + LIST]" says, in the unpacked bytes) is walked to its end, then each entry of the
// relocation list (a byte of distance, or 0xF0 and above: its low four bits and a 16-bit word) names
// the next address, kept as an offset from the image's start, highest byte first.
const uint8_t ImportWalk[] = {0x8B, 0x07, 0x09, 0xC0, 0x74};
const uint8_t RelocationLoop[] = {0x8D, 0x5E, 0xFC, 0x31, 0xC0, 0x8A, 0x07, 0x47, 0x09, 0xC0, 0x74, 0x22, 0x3C, 0xEF, 0x77, 0x11, 0x01, 0xC3,
                                  0x8B, 0x03, 0x86, 0xC4, 0xC1, 0xC0, 0x10, 0x86, 0xC4, 0x01, 0xF0, 0x89, 0x03, 0xEB, 0xE2, 0x24, 0x0F,
                                  0xC1, 0xE0, 0x10, 0x66, 0x8B, 0x07, 0x83, 0xC7, 0x02, 0xEB, 0xE2};

void UndoRelocations(const std::vector<uint8_t>& stub, std::vector<uint8_t>& image, uint32_t imageAddress) {
    const auto loop = std::search(stub.begin(), stub.end(), RelocationLoop, RelocationLoop + sizeof RelocationLoop);
    if (loop == stub.end()) return;
    const size_t loopAt = static_cast<size_t>(loop - stub.begin());
    // A program without imports: "lea edi, [esi + LIST]" right before the loop, the list its own.
    const bool importsFirst = !(loopAt >= 6 && stub[loopAt - 6] == 0x8D && stub[loopAt - 5] == 0xBE);
    size_t list = importsFirst ? SIZE_MAX : Le32(&stub[loopAt - 4]);
    for (size_t at = 0; importsFirst && at + 6 + sizeof ImportWalk <= stub.size(); ++at)
        if (stub[at] == 0x8D && stub[at + 1] == 0xBE && std::memcmp(&stub[at + 6], ImportWalk, sizeof ImportWalk) == 0) {
            list = Le32(&stub[at + 2]);
            break;
        }
    size_t at = list;
    // The imports: a library's name and table (two words; a zero word ends them), then its functions,
    // each a byte (0: the library's last) before a name ending in zero, or an ordinal's two bytes.
    if (importsFirst) {
        for (;;) {
            if (at > image.size() || image.size() - at < 4) return;
            if (Le32(&image[at]) == 0) break;
            at += 8;
            for (;;) {
                if (at >= image.size()) return;
                const uint8_t kind = image[at++];
                if (kind == 0) break;
                if (kind & 0x80) {
                    at += 2;
                } else {
                    while (at < image.size() && image[at] != 0) ++at;
                    ++at;
                }
            }
        }
        at += 4;
    }
    uint64_t address = 0;  // of the next fixed word, from four bytes before the image's start
    for (;;) {
        if (at >= image.size()) return;
        uint32_t step = image[at++];
        if (step == 0) return;
        if (step > 0xEF) {
            if (at + 2 > image.size()) return;
            step = (step & 0x0F) << 16 | Le16(&image[at]);
            at += 2;
        }
        address += step;
        if (address < 4 || address - 4 + 4 > image.size()) return;
        uint8_t* word = &image[static_cast<size_t>(address - 4)];
        const uint32_t value = (static_cast<uint32_t>(word[0]) << 24 | static_cast<uint32_t>(word[1]) << 16 |
                                static_cast<uint32_t>(word[2]) << 8 | word[3]) + imageAddress;
        for (int i = 0; i < 4; ++i) word[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

// The stub's last instructions, "popad; (a stack of zeros); jmp ENTRY": the program's own entry point,
// as an offset from the stub's entry, or 0 when the stub ends otherwise.
const uint8_t StubEnd[] = {0x61, 0x8D, 0x44, 0x24, 0x80, 0x6A, 0x00, 0x39, 0xC4, 0x75, 0xFA, 0x83, 0xEC, 0x80, 0xE9};

uint32_t OriginalEntry(const std::vector<uint8_t>& stub, uint32_t stubEntry) {
    const auto at = std::search(stub.begin(), stub.end(), StubEnd, StubEnd + sizeof StubEnd);
    const size_t jump = static_cast<size_t>(at - stub.begin()) + sizeof StubEnd - 1;
    if (at == stub.end() || jump + 5 > stub.size()) return 0;
    return stubEntry + static_cast<uint32_t>(jump) + 5 + Le32(&stub[jump + 1]);
}

// The unpacked bytes laid out as the stub lays them out in memory, behind the packed program's
// headers, as a program file: signatures for programs, their sections and entry point see the
// original code as they would in the program before it was packed.
std::vector<uint8_t> AsProgram(ByteSource& source, const PeLayout& pe, uint32_t imageAt, std::vector<uint8_t>&& out, uint32_t entryRva,
                               uint64_t most) {
    const uint64_t size = std::max<uint64_t>(pe.imageSize, static_cast<uint64_t>(imageAt) + out.size());
    if (size > most || pe.headersSize == 0 || pe.headersSize > imageAt) return std::move(out);
    std::vector<uint8_t> image(static_cast<size_t>(size));
    source.Read(0, image.data(), pe.headersSize);
    std::copy(out.begin(), out.end(), image.begin() + imageAt);
    return ImageAsFile(pe, std::move(image), entryRva);
}

class UpxFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override { return (head.types & TargetBit(PeTarget)) && UpxUnpacks(head.bytes); }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        PackHeader header;
        PeLayout pe;
        if (!UpxUnpacks(head.bytes) || !FindHeader(head.bytes, header) || !ReadPeHeaders(source, pe)) return;
        // UPX's layout: a first section without bytes in the file (where the image unpacks to), then
        // the one the packed image lies in, which the entry point lies in. A program changed after it
        // was packed (another packer's section holding the entry point) is left as it is.
        if (pe.sections.size() < 2 || pe.sections[0].rawSize != 0 || pe.entrySection != 1) return;
        const PeSection& packedIn = pe.sections[1];
        const uint64_t sectionStart = RawStart(pe, packedIn);
        std::vector<uint8_t> stub(Limits::UpxStubBytes);
        stub.resize(source.Read(sectionStart + (pe.entry - packedIn.address), stub.data(), stub.size()));
        uint32_t from = pe.imageBase + packedIn.address, to = pe.imageBase + pe.sections[0].address;
        ReadStubStart(stub.data(), stub.size(), from, to);
        // The packed bytes from where the stub takes them, within the section's bytes in the file.
        const uint32_t skip = from - pe.imageBase - packedIn.address;
        if (from - pe.imageBase < packedIn.address || skip >= packedIn.rawSize || sectionStart + skip >= source.Size()) return;
        sink.Report().archive = true;
        const uint64_t packed = std::min<uint64_t>(header.packed, source.Size() - sectionStart - skip);
        if (header.unpacked > sink.Limits().maxMemberSize) {
            sink.Refuse("UPX image over " + std::to_string(sink.Limits().maxMemberSize >> 20) + " MB", true);
            return;
        }
        if (!sink.Begin("UPX image", packed, header.unpacked)) return;
        std::vector<uint8_t> in(static_cast<size_t>(packed)), out;
        in.resize(source.Read(sectionStart + skip, in.data(), in.size()));
        const bool intact = UnpackUpxBlock(header.method, in, header.unpacked, out);
        uint32_t bound = 0;
        const uint32_t imageAt = to - pe.imageBase;
        if (intact && imageAt == pe.sections[0].address && header.filter && FindFilterBound(stub, bound))
            UndoUpxFilter(header.filter, header.mark, bound, out);
        if (intact) UndoRelocations(stub, out, to);
        if (intact) out = AsProgram(source, pe, imageAt, std::move(out), OriginalEntry(stub, pe.entry), sink.Limits().maxMemberSize);
        sink.Write(out.data(), out.size());
        sink.End(!intact, "damaged UPX image");
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeUpxFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new UpxFormat); }

}  // namespace RefEngine
