// PDF: the streams of its objects. Each "stream" keyword after an object's dictionary begins data that
// ends at "endstream" (the dictionary's /Length is not trusted: it may be indirect, or wrong); data
// filtered by /FlateDecode alone is inflated into a member as it comes, data behind other filters or
// several (ASCIIHex, ASCII85, LZW, RunLength) is decoded in memory into one, and an embedded file
// (/EmbeddedFile) that is not filtered is a member as it stands, so that it is scanned as a file of
// its own (its digest). Filters of images and encryption are left as they are (their bytes stay part
// of the PDF, scanned as it is). An encrypted PDF's streams cannot be read without its key: the PDF is
// "not fully scanned".
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/formats/documents/PdfFilters.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace RefEngine {
namespace {

std::string Text(ByteSource& source, uint64_t from, uint64_t to) {
    std::string text(static_cast<size_t>(to - from), '\0');
    text.resize(source.Read(from, reinterpret_cast<uint8_t*>(&text[0]), text.size()));
    return text;
}

// "/Length N" when N is a number and not a reference ("N 0 R"); else UINT64_MAX.
uint64_t DirectLength(const std::string& dictionary) {
    const size_t key = dictionary.find("/Length");
    if (key == std::string::npos) return UINT64_MAX;
    size_t at = dictionary.find_first_not_of(" \t\r\n", key + 7);
    uint64_t value = 0;
    size_t digits = 0;
    for (; at < dictionary.size() && std::isdigit(static_cast<unsigned char>(dictionary[at])) && digits < 15; ++at, ++digits)
        value = value * 10 + static_cast<uint64_t>(dictionary[at] - '0');
    if (digits == 0) return UINT64_MAX;
    const size_t next = dictionary.find_first_not_of(" \t\r\n", at);
    if (next != std::string::npos && std::isdigit(static_cast<unsigned char>(dictionary[next]))) return UINT64_MAX;  // a reference
    return value;
}

class PdfFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        const auto end = head.bytes.begin() + std::min(head.bytes.size(), Limits::PdfHeaderWithin);
        static const char magic[] = "%PDF-";
        return std::search(head.bytes.begin(), end, magic, magic + 5) != end;
    }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override {
        sink.Report().archive = true;
        if (FindText(source, 0, source.Size(), "/Encrypt") != UINT64_MAX) {
            sink.Refuse("encrypted PDF");
            return;
        }
        int streams = 0;
        for (uint64_t at = 0; !sink.Stopped();) {
            const uint64_t keyword = FindText(source, at, source.Size(), "stream");
            if (keyword == UINT64_MAX) break;
            at = keyword + 6;
            // Not the end of one ("endstream"), and followed by its line end.
            if (keyword >= 3 && Text(source, keyword - 3, keyword) == "end") continue;
            uint64_t data = keyword + 6;
            if (data < source.Size() && source.At(data) == '\r') ++data;
            if (data >= source.Size() || source.At(data) != '\n') continue;
            ++data;
            const uint64_t dictionaryStart = keyword > Limits::PdfDictionaryWithin ? keyword - Limits::PdfDictionaryWithin : 0;
            std::string dictionary = Text(source, dictionaryStart, keyword);
            const size_t object = dictionary.rfind(" obj");
            if (object != std::string::npos) dictionary.erase(0, object);
            const uint64_t end = FindText(source, data, data + Limits::PdfStreamEndWithin, "endstream");
            const bool cut = end == UINT64_MAX;
            const uint64_t stop = cut ? std::min<uint64_t>(source.Size(), data + Limits::PdfStreamEndWithin) : end;
            at = stop;
            const std::vector<std::string> filters = PdfFilterNames(dictionary);
            const bool flate = filters.size() == 1 && (filters[0] == "FlateDecode" || filters[0] == "Fl");
            const bool embedded = dictionary.find("/EmbeddedFile") != std::string::npos;
            if (filters.empty() && !embedded) continue;  // plain: part of the PDF as it stands
            // A direct /Length that fits is the stream's; else the line end before "endstream" is not,
            // though it may be the data's own last byte: inflating stops at its end by itself, so only
            // an embedded file's bytes are cut there.
            uint64_t length = stop - data;
            const uint64_t declared = DirectLength(dictionary);
            if (declared != UINT64_MAX && declared <= length) {
                length = declared;
            } else if (!cut && filters.empty()) {
                if (length > 0 && source.At(data + length - 1) == '\n') --length;
                if (length > 0 && source.At(data + length - 1) == '\r') --length;
            }
            if (!filters.empty() && !flate) {
                // Other filters, or several: decoded in memory, within the member's bound.
                const size_t max = static_cast<size_t>(sink.Limits().maxMemberSize);
                if (length > max) {
                    sink.Refuse("PDF stream over " + std::to_string(max >> 20) + " MB", true);
                    continue;
                }
                std::vector<uint8_t> decoded(static_cast<size_t>(length));
                decoded.resize(source.Read(data, decoded.data(), decoded.size()));
                const PdfDecoded result = DecodePdfStream(filters, decoded, max);
                if (result == PdfDecoded::NotDecodable) continue;  // an image's or encryption's filter
                if (!sink.Begin("stream " + std::to_string(++streams), length, UINT64_MAX)) continue;
                sink.Write(decoded.data(), decoded.size());
                if (!sink.End(cut || result == PdfDecoded::Damaged, "damaged PDF stream")) return;
                continue;
            }
            const std::string name = "stream " + std::to_string(++streams);
            if (!sink.Begin(name, length, UINT64_MAX)) continue;
            const bool intact = flate ? InflateInto(source, data, length, sink, true) : CopyInto(source, data, length, sink);
            if (!sink.End(cut || !intact, "damaged PDF stream")) return;
        }
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakePdfFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new PdfFormat); }

}  // namespace RefEngine
