// Compiled AutoIt scripts: the interpreter carries the script, and every file the script installs,
// after its image behind a 16-byte mark, "AU3!" and the version ("EA05" or "EA06"), then 16 bytes
// (a digest of the passphrase) and one record a file: "FILE", the lengths of its two names, the
// names, whether it is compressed, its packed and unpacked sizes, a checksum, two file times and its
// data. Each field is enciphered by a keystream seeded with a constant (plus a length, or the digest's
// sum): Mersenne Twister's low bytes in EA05, a rotating generator's high bytes in EA06. Compressed
// data is AutoIt's own LZ77: its mark and the unpacked size (most significant byte first), then bits
// (read 16 at a time, most significant first) with literals and copies from up to 32 KiB back. All of
// it was learnt from the interpreters in clamav-testfiles. Each file is a member, under its first name.
// AutoIt 3.3 and later keep the same bytes in the program's RT_RCDATA resource "SCRIPT" instead of
// after the image: looked for there too (no such program among the test files to check it on).
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/ObjectType.h"
#include "refengine/executables/PeResource.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace RefEngine {
namespace {

const uint8_t Mark[20] = {0xA3, 0x48, 0x4B, 0xBE, 0x98, 0x6C, 0x4A, 0xA9, 0x99, 0x4C,
                          0x53, 0x0A, 0x86, 0xD6, 0x48, 0x7D, 'A',  'U',  '3',  '!'};
const size_t History = 32768;  // copies reach at most 15 bits back

// The keystream of one field, a byte at a time.
class KeyStream {
public:
    virtual ~KeyStream() = default;
    virtual uint8_t Next() = 0;
    void Apply(uint8_t* data, size_t size) {
        for (size_t i = 0; i < size; ++i) data[i] ^= Next();
    }
};

// EA05: Mersenne Twister (MT19937), the low byte of each 31-bit output.
class TwisterStream : public KeyStream {
public:
    explicit TwisterStream(uint32_t seed) {
        state_[0] = seed;
        for (uint32_t i = 1; i < N; ++i) state_[i] = 0x6C078965u * (state_[i - 1] ^ state_[i - 1] >> 30) + i;
    }
    uint8_t Next() override {
        if (index_ == N) Regenerate();
        uint32_t y = state_[index_++];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9D2C5680u;
        y ^= (y << 15) & 0xEFC60000u;
        y ^= y >> 18;
        return static_cast<uint8_t>(y >> 1);
    }

private:
    static const uint32_t N = 624, M = 397;
    void Regenerate() {
        for (uint32_t k = 0; k < N; ++k) {
            const uint32_t y = (state_[k] & 0x80000000u) | (state_[(k + 1) % N] & 0x7FFFFFFFu);
            state_[k] = state_[(k + M) % N] ^ y >> 1 ^ ((y & 1) ? 0x9908B0DFu : 0);
        }
        index_ = 0;
    }
    std::array<uint32_t, N> state_;
    uint32_t index_ = N;
};

// EA06: seventeen words, each new one the sum of two others rotated (by 9 and by 13); a byte is the
// top byte of every second word.
class RotatingStream : public KeyStream {
public:
    explicit RotatingStream(uint32_t seed) {
        uint32_t x = seed & 0xFFFF;
        for (uint32_t& word : words_) word = x = 1 - x * 0x53A9B4FBu;
        for (int i = 0; i < 9; ++i) Step();
    }
    uint8_t Next() override {
        Step();
        return static_cast<uint8_t>(Step() >> 24);
    }

private:
    static uint32_t Rotate(uint32_t x, int by) { return x << by | x >> (32 - by); }
    uint32_t Step() {
        const uint32_t x = Rotate(words_[first_], 9) + Rotate(words_[second_], 13);
        words_[first_] = x;
        first_ = first_ ? first_ - 1 : 16;
        second_ = second_ ? second_ - 1 : 16;
        return x;
    }
    std::array<uint32_t, 17> words_;
    int first_ = 0, second_ = 10;
};

// The constants of a version: each seed, and what the stored numbers are masked with.
struct Version {
    bool wide;  // names in UTF-16
    uint32_t tagSeed, firstLength, firstSeed, secondLength, secondSeed, sizeMask, dataSeed;
    bool literalBit;  // the flag bit that announces a literal
    std::unique_ptr<KeyStream> Stream(uint32_t seed) const {
        if (wide) return std::unique_ptr<KeyStream>(new RotatingStream(seed));
        return std::unique_ptr<KeyStream>(new TwisterStream(seed));
    }
};
const Version Ea05 = {false, 0x16FA, 0x29BC, 0xA25E, 0x29AC, 0xF25E, 0x45AA, 0x22AF, false};
const Version Ea06 = {true, 0x18EE, 0xADBC, 0xB33F, 0xF820, 0xF479, 0x87BC, 0x2477, true};

// The bytes of one file's data, deciphered as they are read.
class DataReader {
public:
    DataReader(ByteSource& source, uint64_t offset, uint64_t size, std::unique_ptr<KeyStream> key)
        : source_(source), offset_(offset), end_(offset + size), key_(std::move(key)), buffer_(Limits::DecodeChunk) {}
    // The next byte; false at the end of the data (or of the source).
    bool Byte(uint8_t& out) {
        if (used_ == held_ && !Fill()) return false;
        out = buffer_[used_++];
        return true;
    }
    // The next pieces as they come, for stored data.
    size_t Piece(const uint8_t*& out) {
        if (used_ == held_ && !Fill()) return 0;
        out = buffer_.data() + used_;
        const size_t size = held_ - used_;
        used_ = held_;
        return size;
    }

private:
    bool Fill() {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(Limits::DecodeChunk, end_ - offset_));
        held_ = want ? source_.Read(offset_, buffer_.data(), want) : 0;
        offset_ += held_;
        used_ = 0;
        key_->Apply(buffer_.data(), held_);
        return held_ > 0;
    }
    ByteSource& source_;
    uint64_t offset_, end_;
    std::unique_ptr<KeyStream> key_;
    std::vector<uint8_t> buffer_;
    size_t held_ = 0, used_ = 0;
};

// AutoIt's LZ77 onto the sink; false when the data is damaged or ends too soon.
bool Decompress(DataReader& in, bool literalBit, MemberSink& sink) {
    uint8_t head[8];
    for (uint8_t& byte : head)
        if (!in.Byte(byte)) return false;
    const uint32_t size = static_cast<uint32_t>(Integer(head + 4, 4, true));
    uint32_t word = 0;
    int left = 0;
    bool ok = true;
    auto bits = [&](int count) {
        uint32_t value = 0;
        while (count--) {
            if (left == 0) {
                uint8_t high = 0, low = 0;
                if (!in.Byte(high) || !in.Byte(low)) ok = false;
                word = static_cast<uint32_t>(high << 8 | low);
                left = 16;
            }
            value = value << 1 | (word >> --left & 1);
        }
        return value;
    };
    std::vector<uint8_t> window(History), out;
    out.reserve(Limits::DecodeChunk);
    uint64_t written = 0;
    bool wanted = true;  // false once the sink wants no more
    auto put = [&](uint8_t byte) {
        window[written++ % History] = byte;
        out.push_back(byte);
        if (out.size() == Limits::DecodeChunk) {
            wanted = sink.Write(out.data(), out.size()) && !sink.Full();
            out.clear();
        }
    };
    while (written < size && ok && wanted) {
        if ((bits(1) != 0) == literalBit) {
            put(static_cast<uint8_t>(bits(8)));
        } else {
            const uint32_t offset = bits(15);
            // The length: 2 bits, then 3, then 5, then 8 bits at a time while they are all set.
            uint32_t length = bits(2), base = 0;
            if (length == 3) {
                base = 3, length = bits(3);
                if (length == 7) {
                    base = 10, length = bits(5);
                    if (length == 31) {
                        base = 0x29, length = bits(8);
                        if (length == 0xFF) {
                            for (base = 0x128, length = bits(8); length == 0xFF && ok && base < size; length = bits(8)) base += 0xFF;
                        }
                    }
                }
            }
            length += base + 3;
            if (!ok || offset == 0 || offset > written) return false;
            for (uint32_t i = 0; i < length && written < size && wanted; ++i) put(window[(written - offset) % History]);
        }
    }
    if (!wanted) return true;  // the sink's limits said enough: that is reported by the sink
    if (!out.empty() && !sink.Write(out.data(), out.size())) return true;
    return ok && written == size;
}

class AutoItFormat : public ArchiveFormat {
public:
    // The interpreter itself may be packed (UPX): that format reads the image, this one the script.
    bool Exclusive() const override { return false; }
    // Any program: from AutoIt 3.3 on, the script is the resource "SCRIPT", not the overlay.
    bool Recognizes(const ObjectHead& head) const override {
        const auto& bytes = head.overlayBytes;
        return (head.overlay && std::search(bytes.begin(), bytes.end(), std::begin(Mark), std::end(Mark)) != bytes.end()) ||
               (head.types & TargetBit(PeTarget));
    }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        const std::string mark(std::begin(Mark), std::end(Mark));
        if (head.overlay) {
            const uint64_t at = FindText(source, head.overlay, head.overlay + std::min<uint64_t>(ObjectHead::Size, source.Size() - head.overlay), mark);
            if (at != UINT64_MAX) return ReadScript(source, at, sink);
        }
        PeLayout pe;
        ResourceData resource;
        if (!ReadLayout(head.bytes.data(), head.bytes.size(), pe, true) || !FindResource(source, pe, 10, "SCRIPT", resource)) return;
        SourceWindow script(source, resource.offset, resource.size);  // a record running past it is cut short
        const uint64_t at = FindText(script, 0, std::min<uint64_t>(ObjectHead::Size, script.Size()), mark);
        if (at != UINT64_MAX) ReadScript(script, at, sink);
    }

private:
    // The records behind the mark at offset.
    static void ReadScript(ByteSource& source, uint64_t mark, MemberSink& sink) {
        sink.Report().archive = true;
        uint8_t header[4 + 16];
        if (source.Read(mark + sizeof Mark, header, sizeof header) != sizeof header) return sink.Refuse("AutoIt script cut short");
        const Version* version = std::memcmp(header, "EA05", 4) == 0 ? &Ea05 : std::memcmp(header, "EA06", 4) == 0 ? &Ea06 : nullptr;
        if (!version) return sink.Refuse("AutoIt script of an unknown version");
        // The data's key adds the sum of the digest's bytes (EA05); EA06's interpreter multiplies them
        // into a total that starts at 0, so there it adds nothing.
        uint32_t digestSum = 0;
        if (!version->wide)
            for (int i = 4; i < 20; ++i) digestSum += header[i];
        uint64_t at = mark + sizeof Mark + sizeof header;
        for (;;) {
            if (sink.Stopped()) return;
            uint8_t tag[4];
            if (source.Read(at, tag, 4) != 4) return;
            version->Stream(version->tagSeed)->Apply(tag, 4);
            if (std::memcmp(tag, "FILE", 4) != 0) return;  // the last record is behind
            at += 4;
            std::string name, second;
            if (!ReadName(source, at, *version, version->firstLength, version->firstSeed, name) ||
                !ReadName(source, at, *version, version->secondLength, version->secondSeed, second))
                return sink.Refuse("AutoIt record damaged");
            uint8_t fields[1 + 12 + 16];
            if (source.Read(at, fields, sizeof fields) != sizeof fields) return sink.Refuse("AutoIt record cut short");
            at += sizeof fields;
            const bool compressed = fields[0] == 1;
            const uint32_t packed = Le32(fields + 1) ^ version->sizeMask, unpacked = Le32(fields + 5) ^ version->sizeMask;
            const bool cut = packed > source.Size() - at;
            const uint64_t stored = cut ? source.Size() - at : packed;
            if (sink.Begin(name.empty() ? "file" : name, stored, compressed ? unpacked : stored)) {
                DataReader data(source, at, stored, version->Stream(version->dataSeed + digestSum));
                bool intact = true;
                if (compressed) {
                    intact = Decompress(data, version->literalBit, sink);
                } else {
                    const uint8_t* piece = nullptr;
                    for (size_t size; (size = data.Piece(piece)) != 0 && !sink.Full();)
                        if (!sink.Write(piece, size)) break;
                }
                if (!sink.End(cut || !intact, "AutoIt file damaged")) return;
            }
            if (cut) return;
            at += stored;
        }
    }

    // A name: its length (masked), then its characters enciphered with a key seeded by the length.
    static bool ReadName(ByteSource& source, uint64_t& at, const Version& version, uint32_t mask, uint32_t seed, std::string& out) {
        uint8_t lengthBytes[4];
        if (source.Read(at, lengthBytes, 4) != 4) return false;
        const uint32_t length = Le32(lengthBytes) ^ mask;
        if (length > Limits::AutoItName) return false;
        const size_t bytes = version.wide ? 2 * length : length;
        std::vector<uint8_t> text(bytes);
        if (source.Read(at + 4, text.data(), bytes) != bytes) return false;
        at += 4 + bytes;
        version.Stream(seed + length)->Apply(text.data(), bytes);
        out.clear();
        for (size_t i = 0; i < bytes; i += version.wide ? 2 : 1) {
            const bool ascii = text[i] >= 0x20 && text[i] < 0x7F && (!version.wide || text[i + 1] == 0);
            out += ascii ? static_cast<char>(text[i]) : '?';
        }
        return true;
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeAutoItFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new AutoItFormat); }

}  // namespace RefEngine
