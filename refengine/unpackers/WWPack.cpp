// Programs packed by WWPack32: the entry point begins its unpacking code ("WWPack32" in its first
// bytes), which finds its own address (call, pop, sub), then a table of the sections it packed, 17
// bytes each (how far before that address the section lies, where its unpacked data ends, the packed
// data's length in 32-bit words and where it ends, whether another entry follows), and ends with a
// jump to the program's own entry point. Each section's packed data is flag bits in 32-bit words (the
// highest bit first) between literal bytes: 0 a literal, 1 a copy of earlier output. Unpacked here
// rather than run: the code unpacks in place, and for some programs its output overtakes the packed
// data it has not read yet, so that a run (on Windows too) ends in a crash. The member is the image
// with those sections unpacked, as a program file entered where the jump leads.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/ObjectType.h"
#include "refengine/executables/PeImage.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const uint32_t StubLength = 0x400;  // where the code, its table and its last jump are looked for
const uint32_t EntrySize = 17;

struct Stub {
    uint32_t base = 0;   // the address the code computes for itself (relative to the image base)
    uint32_t table = 0;  // its table of packed sections
    uint32_t entry = 0;  // the program's own entry point; 0: not found
};

size_t Find(const uint8_t* data, size_t size, const char* pattern, size_t length) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(pattern);  // as bytes: a char may be signed
    return static_cast<size_t>(std::search(data, data + size, bytes, bytes + length) - data);
}

// The stub's layout, from the bytes at the entry point (code of at most StubLength bytes).
bool ReadStub(const uint8_t* code, size_t size, uint32_t entry, Stub& stub) {
    static const char start[] = "\x53\x55\x8B\xE8\x33\xDB\xEB";  // push ebx; push ebp; mov ebp, eax; xor ebx, ebx; jmp
    if (size < sizeof start - 1 || std::memcmp(code, start, sizeof start - 1) != 0) return false;
    if (Find(code, std::min<size_t>(size, 0x80), "WWPack32", 8) == std::min<size_t>(size, 0x80)) return false;
    const size_t self = Find(code, size, "\xE8\x00\x00\x00\x00\x58\x2D", 7);  // call $+5; pop eax; sub eax, imm
    if (self + 11 > size) return false;
    stub.base = entry + static_cast<uint32_t>(self) + 5 - Le32(code + self + 7);
    const size_t lookup = Find(code, size, "\x2E\x2B\x84\x0D", 4);  // sub eax, cs:[ebp+ecx+table]
    if (lookup + 8 > size) return false;
    stub.table = stub.base + Le32(code + lookup + 4);
    const size_t jump = Find(code, size, "\x5D\x5B\xE9", 3);  // pop ebp; pop ebx; jmp entry
    if (jump + 7 <= size) stub.entry = entry + static_cast<uint32_t>(jump) + 7 + Le32(code + jump + 3);
    return true;
}

// The bits of one section's packed data.
class BitReader {
public:
    BitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {
        word_ = Word();
        left_ = 32;
    }
    bool Overrun() const { return overrun_; }
    uint8_t Byte() {
        if (at_ >= size_) return overrun_ = true, 0;
        return data_[at_++];
    }
    uint32_t Bit() { return Bits(1); }
    // n (1 to 15) bits, the highest first; the next word is taken in when the current one is spent.
    uint32_t Bits(unsigned n) {
        uint32_t value = word_ >> (32 - n);
        if (left_ > n) {
            word_ <<= n;
            left_ -= n;
            return value;
        }
        const unsigned more = n - left_;
        value >>= more;
        word_ = Word();
        if (more) {
            value = value << more | word_ >> (32 - more);
            word_ <<= more;
        }
        left_ = 32 - more;
        return value;
    }

private:
    uint32_t Word() {
        if (at_ + 4 > size_) {
            overrun_ = true;
            return 0;
        }
        const uint32_t word = Le32(data_ + at_);
        at_ += 4;
        return word;
    }

    const uint8_t* data_;
    size_t size_, at_ = 0;
    uint32_t word_ = 0;
    unsigned left_ = 0;
    bool overrun_ = false;
};

// One section's data unpacked onto out (at most limit bytes); false when it is damaged.
bool Unpack(const uint8_t* packed, size_t size, size_t limit, std::vector<uint8_t>& out) {
    BitReader in(packed, size);
    while (!in.Overrun()) {
        if (!in.Bit()) {
            if (out.size() >= limit) return false;
            out.push_back(in.Byte());
            continue;
        }
        uint32_t distance = 0, count = 0;
        const uint32_t kind = in.Bits(2);
        if (kind == 3) {  // two bytes from up to 0x360 back; the end mark among them
            static const uint32_t base[4] = {1, 0x21, 0x61, 0x161};
            const uint32_t range = in.Bits(2);
            const uint32_t value = in.Bits(range < 2 ? range + 5 : range + 6);
            if (range == 3 && value == 0x1FF) return true;  // a word taken in after its last bit needs not exist
            distance = value + base[range];
            count = 2;
        } else {
            const uint32_t width = in.Bits(3);
            if (width == 6) {
                distance = in.Bits(14) + 0x1FE1;
            } else if (width == 7) {
                distance = in.Bits(15) + 0x5FE1;
            } else {
                const uint32_t bits = width < 3 ? width + 5 : width == 3 ? 8 + in.Bit() : width == 4 ? 10 + in.Bit() : 12;
                distance = (in.Bits(bits) + (1u << bits) - 0x1F) & 0xFFFF;
            }
            if (kind == 1) {
                count = 3;
            } else if (kind == 2) {
                count = 4;
            } else if (!in.Bit()) {
                count = 5 + in.Bit();
            } else if (const uint32_t shortCount = in.Bits(3)) {
                count = shortCount + 6;
            } else if (const uint32_t longer = in.Bits(4)) {
                count = longer + 13;
            } else {
                // Widths 5, 6 and 7, each a flag bit first, with bases 0x1D, 0x3D and 0x7D; else 14 bits.
                uint32_t bits = 4, base = 0xD;
                bool flagged = false;
                while (bits != 7 && !flagged) {
                    base = (base + 2) * 2 - 1;
                    flagged = in.Bit() != 0;
                    ++bits;
                }
                count = flagged ? (in.Bits(bits) + base) & 0xFF : in.Bits(14);
            }
        }
        if (in.Overrun() || distance == 0 || distance > out.size() || count > limit - out.size()) return false;
        for (uint32_t k = 0; k < count; ++k) out.push_back(out[out.size() - distance]);
    }
    return false;
}

class WWPackFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        return (head.types & TargetBit(PeTarget)) && WwpackUnpacks(head.bytes);
    }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        PeLayout pe;
        Stub stub;
        const uint64_t cap = sink.Limits().maxMemberSize;
        if (source.Size() > cap || !ReadLayout(head.bytes.data(), head.bytes.size(), pe) || pe.imageSize > cap) return;
        std::vector<uint8_t> file(static_cast<size_t>(source.Size()));
        file.resize(source.Read(0, file.data(), file.size()));
        if (!sink.Reserve(2ull * pe.imageSize)) return;
        std::vector<uint8_t> image(pe.imageSize);
        MapImage(file, pe, [&](uint32_t rva, const uint8_t* bytes, uint32_t size) { std::memcpy(image.data() + rva, bytes, size); });
        if (pe.entry >= pe.imageSize ||
            !ReadStub(image.data() + pe.entry, std::min<size_t>(StubLength, pe.imageSize - pe.entry), pe.entry, stub))
            return;
        sink.Report().archive = true;
        bool intact = true;
        std::vector<uint8_t> out;
        uint64_t budget = pe.imageSize;  // sections may overlap: all together unpack one image at most
        for (uint32_t n = 0, at = stub.table; n < Limits::PeSections; ++n, at += EntrySize) {
            if (at >= pe.imageSize || pe.imageSize - at < EntrySize) {
                intact = false;
                break;
            }
            const uint8_t* entry = image.data() + at;
            const uint64_t section = static_cast<uint32_t>(stub.base - Le32(entry));
            const uint64_t end = section + Le32(entry + 4) + 4, packedEnd = section + Le32(entry + 12) + 4;
            const uint64_t packed = 4ull * Le32(entry + 8);
            if (end > pe.imageSize || packedEnd > pe.imageSize || packed > packedEnd - section) {
                intact = false;
                break;
            }
            const std::vector<uint8_t> in(image.begin() + static_cast<size_t>(packedEnd - packed), image.begin() + static_cast<size_t>(packedEnd));
            out.clear();
            if (!Unpack(in.data(), in.size(), static_cast<size_t>(std::min(end - section, budget)), out)) intact = false;
            budget -= out.size();
            std::copy(out.begin(), out.end(), image.begin() + static_cast<size_t>(section));
            std::fill(image.begin() + static_cast<size_t>(section) + out.size(), image.begin() + static_cast<size_t>(end), 0);
            if (!intact || entry[16] == 0) break;
        }
        const std::vector<uint8_t> program = ImageAsFile(pe, std::move(image), stub.entry < pe.imageSize ? stub.entry : 0);
        if (!sink.Begin("unpacked program", file.size(), program.size())) return;
        sink.Write(program.data(), program.size());
        sink.End(!intact, "damaged WWPack data");
    }
};

}  // namespace

bool WwpackUnpacks(const std::vector<uint8_t>& head) {
    PeLayout pe;
    if (!ReadLayout(head.data(), head.size(), pe) || pe.entrySection < 0) return false;
    const PeSection& code = pe.sections[pe.entrySection];
    const uint64_t at = static_cast<uint64_t>(code.rawPointer) + (pe.entry - code.address);
    Stub stub;
    return at < head.size() && ReadStub(head.data() + at, std::min<uint64_t>(StubLength, head.size() - at), pe.entry, stub);
}

std::unique_ptr<ArchiveFormat> MakeWWPackFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new WWPackFormat); }

}  // namespace RefEngine
