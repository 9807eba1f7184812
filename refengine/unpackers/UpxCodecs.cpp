// The methods of UPX's packed blocks, and its filters over calls and jumps.
#include "refengine/unpackers/UpxCodecs.h"

#include "refengine/object/ByteOrder.h"

#include "C/LzmaDec.h"

#include <algorithm>
#include <cstdlib>

namespace RefEngine {
namespace {

// The three NRV variants share their literals and their end; they differ in how an offset and a
// length are written.
enum class Nrv { B, D, E };

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
            // Two bits, the higher first: the order of the reads is the stream's.
            const uint32_t high = variant == Nrv::B ? bit() : lengthBit;
            length = high * 2 + bit();
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

void* LzmaAlloc(ISzAllocPtr, size_t size) { return std::malloc(size); }
void LzmaFree(ISzAllocPtr, void* address) { std::free(address); }

// LZMA behind UPX's two bytes of properties: (lc + lp) << 3 | pb, then lp << 4 | lc. The output is
// the dictionary: only the decoder's tables are allocated.
bool UnpackLzma(const std::vector<uint8_t>& in, size_t unpacked, std::vector<uint8_t>& out) {
    if (in.size() < 3) return false;
    const unsigned pb = in[0] & 7, lc = in[1] & 15, lp = in[1] >> 4;
    if (pb > 4 || lc > 8 || lp > 4 || (in[0] >> 3) != lc + lp) return false;
    uint8_t props[LZMA_PROPS_SIZE] = {static_cast<uint8_t>((pb * 5 + lp) * 9 + lc)};
    const uint32_t dictionary = static_cast<uint32_t>(std::max<size_t>(unpacked, 4096));
    for (int i = 0; i < 4; ++i) props[1 + i] = static_cast<uint8_t>(dictionary >> (8 * i));
    out.resize(unpacked);
    SizeT outLength = unpacked, inLength = in.size() - 2;
    ELzmaStatus status;
    static const ISzAlloc alloc = {LzmaAlloc, LzmaFree};
    const SRes result = LzmaDecode(out.data(), &outLength, in.data() + 2, &inLength, props, LZMA_PROPS_SIZE, LZMA_FINISH_ANY, &status, &alloc);
    out.resize(outLength);
    return result == SZ_OK && outLength == unpacked;
}

}  // namespace

bool UpxMethodKnown(uint8_t method) {
    return method == UpxMethod::Nrv2b || method == UpxMethod::Nrv2d || method == UpxMethod::Nrv2e || method == UpxMethod::Lzma;
}

bool UnpackUpxBlock(uint8_t method, const std::vector<uint8_t>& in, size_t unpacked, std::vector<uint8_t>& out) {
    out.clear();
    switch (method) {
    case UpxMethod::Nrv2b: return UnpackNrv(Nrv::B, in, unpacked, out) && out.size() == unpacked;
    case UpxMethod::Nrv2d: return UnpackNrv(Nrv::D, in, unpacked, out) && out.size() == unpacked;
    case UpxMethod::Nrv2e: return UnpackNrv(Nrv::E, in, unpacked, out) && out.size() == unpacked;
    case UpxMethod::Lzma: return UnpackLzma(in, unpacked, out);
    default: return false;
    }
}

void RestoreUpxOperand(std::vector<uint8_t>& block, size_t operand) {
    const uint32_t target = static_cast<uint32_t>(block[operand + 1]) << 16 | static_cast<uint32_t>(block[operand + 2]) << 8 | block[operand + 3];
    const uint32_t relative = target - static_cast<uint32_t>(operand);
    for (int i = 0; i < 4; ++i) block[operand + i] = static_cast<uint8_t>(relative >> (8 * i));
}

void UndoUpxFilter(uint8_t filter, uint8_t mark, uint32_t bound, std::vector<uint8_t>& block) {
    const bool counted = filter == 0x26, callsOnly = filter == 0x24, conditional = filter == 0x49;
    if (!counted && !callsOnly && filter != 0x46 && !conditional) return;
    uint64_t left = bound;
    for (size_t at = 0; at + 5 <= block.size() && left > 0;) {
        const uint8_t op = block[at++];
        if (!counted) --left;
        if (conditional && op == 0x0F && (block[at] & 0xF0) == 0x80) {
            ++at;
            if (left > 0) --left;
        } else if (op != 0xE8 && (callsOnly || op != 0xE9)) {
            continue;
        }
        if (at + 4 > block.size()) return;
        const bool bytesBound = !counted && !callsOnly;
        if (bytesBound && left < 4) return;  // the operand would pass the bound
        if (block[at] != mark) continue;
        RestoreUpxOperand(block, at);
        at += 4;
        if (counted) --left;
        else if (bytesBound) left -= 4;
    }
}

}  // namespace RefEngine
