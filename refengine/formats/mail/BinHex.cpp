// BinHex 4.0: a Macintosh file as text. After the line "(This file must be converted with BinHex 4.0)"
// the text between two colons carries six bits a character (line ends ignored); the bytes that come
// out are run-length coded (0x90, then a count: 0 for the byte 0x90 itself, else the byte before it
// that many times in all), and hold a header (the name, type, creator, flags and the lengths of the
// data and resource forks, big-endian), the data fork, its check, the resource fork and its check.
// Each fork that is not empty is a member.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const char Marker[] = "(This file must be converted with BinHex";
const char Alphabet[] = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";

size_t FindMarker(const std::vector<uint8_t>& bytes) {
    const auto end = bytes.begin() + std::min(bytes.size(), Limits::BinHexMarkerWithin);
    const auto found = std::search(bytes.begin(), end, Marker, Marker + sizeof(Marker) - 1);
    return found == end ? std::string::npos : static_cast<size_t>(found - bytes.begin());
}

// The decoded bytes after the run-length step: the header, then the forks, each into the sink.
class Forks {
public:
    explicit Forks(MemberSink& sink) : sink_(sink) { buffer_.reserve(Limits::DecodeChunk); }

    // False once nothing more is wanted (both forks done, or the sink stopped).
    bool Put(uint8_t byte) {
        switch (stage_) {
        case Stage::Header:
            header_.push_back(byte);
            if (header_.size() == 1) headerSize_ = 1 + header_[0] + 1 + 4 + 4 + 2 + 4 + 4 + 2;
            if (header_.size() == headerSize_) BeginFork(Stage::DataFork, Length(headerSize_ - 10), "");
            return true;
        case Stage::DataFork:
        case Stage::ResourceFork:
            if (member_) {
                buffer_.push_back(byte);
                if (buffer_.size() >= Limits::DecodeChunk && !Flush()) return false;
            }
            if (++done_ == length_) {
                if (!EndFork(false)) return false;
                stage_ = stage_ == Stage::DataFork ? Stage::DataCheck : Stage::Done;
                checkBytes_ = 0;
            }
            return stage_ != Stage::Done;
        case Stage::DataCheck:
            if (++checkBytes_ == 2) BeginFork(Stage::ResourceFork, Length(headerSize_ - 6), ".rsrc");
            return stage_ != Stage::Done;
        case Stage::Done:
            return false;
        }
        return false;
    }

    // The text ended: a fork still open was cut short.
    void Finish() {
        if (stage_ == Stage::DataFork || stage_ == Stage::ResourceFork) EndFork(true);
        else if (stage_ == Stage::Header && !header_.empty()) sink_.Refuse("damaged BinHex header");
    }

private:
    enum class Stage { Header, DataFork, DataCheck, ResourceFork, Done };

    uint32_t Length(size_t at) const {
        return static_cast<uint32_t>(header_[at]) << 24 | static_cast<uint32_t>(header_[at + 1]) << 16 |
               static_cast<uint32_t>(header_[at + 2]) << 8 | header_[at + 3];
    }

    void BeginFork(Stage stage, uint32_t length, const char* suffix) {
        stage_ = stage;
        length_ = length;
        done_ = 0;
        if (length == 0) {  // nothing to scan in an empty fork
            stage_ = stage == Stage::DataFork ? Stage::DataCheck : Stage::Done;
            checkBytes_ = 0;
            return;
        }
        sink_.Report().archive = true;
        std::string name(header_.begin() + 1, header_.begin() + 1 + header_[0]);
        if (name.empty()) name = "binhex";
        member_ = sink_.Begin(name + suffix, 0, length);
    }

    bool Flush() {
        if (member_ && !buffer_.empty() && !sink_.Write(buffer_.data(), buffer_.size())) member_ = false;
        buffer_.clear();
        return !sink_.Stopped();
    }

    bool EndFork(bool cut) {
        if (!Flush()) return false;
        if (!member_) return true;
        member_ = false;
        return sink_.End(cut, "BinHex file cut short");
    }

    MemberSink& sink_;
    Stage stage_ = Stage::Header;
    std::vector<uint8_t> header_, buffer_;
    size_t headerSize_ = 0;
    uint32_t length_ = 0, done_ = 0;
    int checkBytes_ = 0;
    bool member_ = false;
};

class BinHexFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override { return FindMarker(head.bytes) != std::string::npos; }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        int8_t values[256];
        std::memset(values, -1, sizeof(values));
        for (int i = 0; i < 64; ++i) values[static_cast<uint8_t>(Alphabet[i])] = static_cast<int8_t>(i);

        // The encoded text begins with the first colon after the marker's line.
        uint64_t at = FindMarker(head.bytes);
        while (at < source.Size() && source.At(at) != '\n' && source.At(at) != '\r') ++at;
        while (at < source.Size() && source.At(at) != ':') ++at;
        if (at >= source.Size()) return;
        ++at;

        Forks forks(sink);
        uint32_t bits = 0;
        int count = 0;
        uint8_t last = 0;
        bool repeat = false, going = true;
        auto put = [&](uint8_t byte) {
            if (!repeat && byte == 0x90) {
                repeat = true;
                return;
            }
            if (!repeat) {
                last = byte;
                going = forks.Put(byte);
                return;
            }
            repeat = false;
            if (byte == 0) {
                last = 0x90;
                going = forks.Put(0x90);
                return;
            }
            for (int n = 1; n < byte && going; ++n) going = forks.Put(last);
        };
        while (going && at < source.Size()) {
            size_t size = 0;
            const uint8_t* text = source.View(at, size);
            if (!text || size == 0) break;  // unreadable (the file shrank under us): the text ends here
            for (size_t i = 0; i < size && going; ++i) {
                if (text[i] == ':') {  // the end of the encoded text
                    going = false;
                    break;
                }
                const int value = values[text[i]];
                if (value < 0) continue;  // line ends and other spacing
                bits = (bits << 6) | static_cast<uint32_t>(value);
                if ((count += 6) >= 8) {
                    count -= 8;
                    put(static_cast<uint8_t>(bits >> count));
                }
            }
            at += size;
        }
        forks.Finish();
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeBinHexFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new BinHexFormat); }

}  // namespace RefEngine
