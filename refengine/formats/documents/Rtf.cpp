// RTF: the objects a document embeds. Each "\objdata" is followed by the object in hexadecimal: an
// OLE 1.0 object (a version, a format, a class name, a topic and an item, each name with its length
// before it), then the size of its native data and the data. A packaged file (class "Package") keeps
// in its native data what an OLE package's "\1Ole10Native" stream keeps, so it is handed on under that
// name (the package format takes the file out); any other object's native data (a Word or Excel
// document's compound file, say) is a member as it stands.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/Fields.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const char Keyword[] = "\\objdata";
const uint32_t MaxName = 1024;

// The next "\objdata" at or after offset, or UINT64_MAX.
uint64_t FindObject(ByteSource& source, uint64_t offset) { return FindText(source, offset, UINT64_MAX, Keyword); }

// The object's bytes: hexadecimal digits up to the group's end (spacing and line ends between them),
// at most limit bytes; where the digits ended goes to end, whether there were more than limit to cut.
std::vector<uint8_t> DecodeHex(ByteSource& source, uint64_t offset, uint64_t limit, uint64_t& end, bool& cut) {
    std::vector<uint8_t> bytes;
    int high = -1;
    cut = false;
    for (;;) {
        size_t size = 0;
        if (offset >= source.Size()) break;
        const uint8_t* text = source.View(offset, size);
        if (!text || size == 0) break;  // unreadable (the file shrank under us): the object ends here
        size_t i = 0;
        for (; i < size; ++i) {
            const int digit = HexDigit(text[i]);
            if (digit < 0) {
                if (text[i] == ' ' || text[i] == '\r' || text[i] == '\n' || text[i] == '\t') continue;
                break;
            }
            if (high < 0) {
                high = digit;
                continue;
            }
            if (bytes.size() >= limit) {
                cut = true;
                break;
            }
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
        offset += i;
        if (i < size) break;
    }
    end = offset;
    return bytes;
}

class ObjectReader {
public:
    explicit ObjectReader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool U32(uint32_t& value) {
        if (bytes_.size() - at_ < 4) return false;
        value = static_cast<uint32_t>(bytes_[at_]) | static_cast<uint32_t>(bytes_[at_ + 1]) << 8 |
                static_cast<uint32_t>(bytes_[at_ + 2]) << 16 | static_cast<uint32_t>(bytes_[at_ + 3]) << 24;
        at_ += 4;
        return true;
    }
    bool Name(std::string& name) {
        uint32_t length;
        if (!U32(length) || length > MaxName || length > bytes_.size() - at_) return false;
        name.assign(bytes_.begin() + at_, bytes_.begin() + at_ + length);
        name.erase(std::find(name.begin(), name.end(), '\0'), name.end());
        at_ += length;
        return true;
    }
    size_t At() const { return at_; }

private:
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};

class RtfFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        static const char magic[] = "{\\rtf";
        return head.bytes.size() >= 5 && std::equal(magic, magic + 5, head.bytes.begin());
    }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override {
        int objects = 0;
        for (uint64_t at = FindObject(source, 0); at != UINT64_MAX && !sink.Stopped(); at = FindObject(source, at)) {
            uint64_t end = 0;
            bool cut = false;
            const std::vector<uint8_t> object = DecodeHex(source, at + sizeof(Keyword) - 1, sink.Limits().maxMemberSize + 4096, end, cut);
            at = std::max(end, at + 1);
            if (object.empty()) continue;
            sink.Report().archive = true;
            ObjectReader reader(object);
            uint32_t version, format;
            std::string className, topic, item;
            const bool ole1 = reader.U32(version) && reader.U32(format) && format == 2 && reader.Name(className) &&
                              reader.Name(topic) && reader.Name(item);
            const std::string name = "object " + std::to_string(++objects);
            // A packaged file: its native data as a package stream (its size first); else the native
            // data alone; an object that is not OLE 1.0 as the bytes it is.
            size_t from = 0;
            std::string memberName = name;
            if (ole1 && className == "Package") {
                from = reader.At();
                memberName = name + "\\\1Ole10Native";
            } else if (ole1) {
                from = reader.At() + 4;
            }
            if (from > object.size()) from = object.size();
            if (!sink.Begin(memberName, object.size() - from, UINT64_MAX)) continue;
            sink.Write(object.data() + from, object.size() - from);
            if (!sink.End(cut, "RTF object larger than the limit")) return;
        }
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeRtfFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new RtfFormat); }

}  // namespace RefEngine
