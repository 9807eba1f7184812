// A file embedded in a document as an OLE package (what Office makes of a file dropped into a
// document) lies in the package's "\1Ole10Native" stream after a header: the stream's size, a kind
// (2), the file's label and path, a kind of link (3: the file itself), a temporary path, and the
// file's size. The file is the member, so that it is scanned whole, as itself (its digest, its
// program structure); a stream of another form stays only the stream.
#include "refengine/containers/ArchiveFormats.h"

#include <algorithm>

namespace RefEngine {
namespace {

class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}
    bool U16(uint32_t& value) { return Take(2, value); }
    bool U32(uint32_t& value) { return Take(4, value); }
    bool Text(std::string& text) {  // up to its terminating zero
        const auto end = std::find(bytes_.begin() + std::min(at_, bytes_.size()), bytes_.end(), 0);
        if (end == bytes_.end()) return false;
        text.assign(bytes_.begin() + at_, end);
        at_ = static_cast<size_t>(end - bytes_.begin()) + 1;
        return true;
    }
    bool Skip(uint32_t count) {
        if (count > bytes_.size() - at_) return false;
        at_ += count;
        return true;
    }
    size_t At() const { return at_; }

private:
    bool Take(unsigned count, uint32_t& value) {
        if (count > bytes_.size() - at_) return false;
        value = 0;
        for (unsigned i = 0; i < count; ++i) value |= static_cast<uint32_t>(bytes_[at_ + i]) << (8 * i);
        at_ += count;
        return true;
    }
    const std::vector<uint8_t>& bytes_;
    size_t at_ = 0;
};

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class OlePackageFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override { return EndsWith(head.name, "Ole10Native"); }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        // The header lies within the object's first bytes.
        Reader header(head.bytes);
        uint32_t total, kind, reserved, link, temporary, size;
        std::string label, path;
        if (!header.U32(total) || !header.U16(kind) || kind != 2 || !header.Text(label) || !header.Text(path) ||
            !header.U16(reserved) || !header.U16(link) || link != 3 || !header.U32(temporary) ||
            !header.Skip(temporary) || !header.U32(size))
            return;
        sink.Report().archive = true;
        const uint64_t at = header.At();
        const bool cut = size > source.Size() - at;
        const uint64_t stored = cut ? source.Size() - at : size;
        // Named by its label, less any folders in it.
        const size_t slash = label.find_last_of("\\/");
        std::string name = label.substr(slash == std::string::npos ? 0 : slash + 1);
        if (name.empty()) name = "package";
        if (!sink.Begin(name, stored, size)) return;
        const bool intact = CopyInto(source, at, stored, sink);
        sink.End(cut || !intact, "damaged OLE package");
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeOlePackageFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new OlePackageFormat); }

}  // namespace RefEngine
