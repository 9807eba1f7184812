// A PowerPoint document (the binary one, .ppt/.pps/.pot) keeps what is embedded in its slides (a
// packaged program, a workbook) in records of its own in the "PowerPoint Document" stream, mostly
// deflated: each is a member, scanned like a file. The stream is a sequence of records, containers
// holding records; a walk record by record, into containers, reaches every one of them and moves
// forward at every step.
#include "refengine/containers/ArchiveFormats.h"

namespace RefEngine {
namespace {

const uint16_t EmbeddedObjectRecord = 0x1011;  // an embedded object's storage; instance 1: deflated
const uint8_t ContainerVersion = 0xF;
const size_t HeaderSize = 8;

class PowerPointFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        return head.name == "PowerPoint Document" && head.bytes.size() >= HeaderSize &&
               (head.bytes[0] & 0xF) == ContainerVersion;
    }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override {
        const uint64_t size = source.Size();
        unsigned objects = 0;
        for (uint64_t at = 0; at + HeaderSize <= size && !sink.Stopped();) {
            uint8_t h[HeaderSize];
            if (source.Read(at, h, HeaderSize) != HeaderSize) break;
            const unsigned version = h[0] & 0xF, instance = (h[0] >> 4) | (h[1] << 4);
            const unsigned type = h[2] | (h[3] << 8);
            const uint64_t length = h[4] | (h[5] << 8) | (h[6] << 16) | (static_cast<uint64_t>(h[7]) << 24);
            const uint64_t body = at + HeaderSize;
            if (version == ContainerVersion) {  // its records follow
                at = body;
                continue;
            }
            at = body + length;
            if (type != EmbeddedObjectRecord || instance > 1) continue;
            sink.Report().archive = true;
            const bool cut = length > size - body;
            const uint64_t stored = cut ? size - body : length;
            const std::string name = "embedded object " + std::to_string(++objects);
            bool intact;
            if (instance == 0) {
                if (!sink.Begin(name, stored, length)) continue;
                intact = CopyInto(source, body, stored, sink);
            } else {
                // Deflated: the unpacked size, then a zlib stream.
                uint8_t declared[4] = {};
                if (stored < 4 || source.Read(body, declared, 4) != 4) {
                    sink.Refuse("damaged PowerPoint object");
                    continue;
                }
                const uint64_t unpacked =
                    declared[0] | (declared[1] << 8) | (declared[2] << 16) | (static_cast<uint64_t>(declared[3]) << 24);
                if (!sink.Begin(name, stored - 4, unpacked)) continue;
                intact = InflateInto(source, body + 4, stored - 4, sink, true);
            }
            if (!sink.End(cut || !intact, "damaged PowerPoint object")) break;
        }
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakePowerPointFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new PowerPointFormat); }

}  // namespace RefEngine
