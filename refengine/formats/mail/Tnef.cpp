// TNEF (the winmail.dat that Outlook attaches): after its signature and a key, a run of attributes,
// each a level byte (1: the message, 2: an attachment), an identifier (its low word the attribute,
// its high word the type), a length, the data and a two-byte check. An attachment's title (0x8010)
// names it, its data (0x800F) is the member; its rendering (0x9002) begins the next attachment.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/Limits.h"

#include <algorithm>

namespace RefEngine {
namespace {

const uint32_t Signature = 0x223E9F78;
const uint16_t AttachTitle = 0x8010, AttachData = 0x800F, AttachRendering = 0x9002;

uint32_t Le32(ByteSource& source, uint64_t at) {
    uint8_t bytes[4] = {};
    if (source.Read(at, bytes, 4) != 4) return 0;
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 | static_cast<uint32_t>(bytes[2]) << 16 |
           static_cast<uint32_t>(bytes[3]) << 24;
}

class TnefFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        const std::vector<uint8_t>& b = head.bytes;
        return b.size() >= 6 && (static_cast<uint32_t>(b[0]) | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24) == Signature;
    }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override {
        const uint64_t size = source.Size();
        sink.Report().archive = true;
        std::string title;
        for (uint64_t at = 6; at < size && !sink.Stopped();) {
            if (size - at < 9) {
                sink.Refuse("damaged TNEF attribute");
                return;
            }
            const uint32_t id = Le32(source, at + 1), length = Le32(source, at + 5);
            const uint64_t data = at + 9;
            if (length > size - data) {
                // Cut short: an attachment's data is scanned as far as it goes, and called damaged.
                if ((id & 0xFFFF) == AttachData && sink.Begin(title.empty() ? "attachment" : title, size - data, length)) {
                    CopyInto(source, data, size - data, sink);
                    sink.End(true, "TNEF attachment cut short");
                } else {
                    sink.Refuse("damaged TNEF attribute");
                }
                return;
            }
            switch (id & 0xFFFF) {
            case AttachRendering:
                title.clear();
                break;
            case AttachTitle: {
                std::vector<uint8_t> text(std::min<size_t>(length, Limits::TnefTitle));
                source.Read(data, text.data(), text.size());
                title.assign(text.begin(), std::find(text.begin(), text.end(), 0));
                const size_t slash = title.find_last_of("\\/");
                if (slash != std::string::npos) title.erase(0, slash + 1);
                break;
            }
            case AttachData:
                if (sink.Begin(title.empty() ? "attachment" : title, length, length)) {
                    const bool intact = CopyInto(source, data, length, sink);
                    if (!sink.End(!intact, "damaged TNEF attachment")) return;
                }
                break;
            default:
                break;
            }
            at = data + length + 2;  // the check is not needed to find the next attribute
        }
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeTnefFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new TnefFormat); }

}  // namespace RefEngine
