// HTML: files carried inside a page as data: addresses ("data:TYPE;base64,..." or "data:TYPE,..." with
// %XX escapes), each decoded into a member, so that a program a page carries is scanned as the
// program. The rest of the page is scanned as it is.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/Fields.h"
#include "refengine/object/ObjectType.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace RefEngine {
namespace {

const size_t MaxMediaType = 256;  // "data:" and its media type up to the comma
const size_t Chunk = 64u << 10;

class HtmlFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override { return LooksLikeHtml(head.bytes); }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override {
        int found = 0;
        for (uint64_t at = Next(source, 0); at != UINT64_MAX && !sink.Stopped(); at = Next(source, at)) {
            // The media type, up to the comma.
            std::string type;
            uint64_t data = at + 5;
            while (data < source.Size() && type.size() < MaxMediaType) {
                const char c = static_cast<char>(std::tolower(source.At(data)));
                if (c == ',' || c == '"' || c == '\'' || c == '<' || c == '>' || std::isspace(static_cast<unsigned char>(c))) break;
                type += c;
                ++data;
            }
            if (data >= source.Size() || source.At(data) != ',') {
                at = data;
                continue;
            }
            ++data;
            const bool base64 = type.size() >= 7 && type.compare(type.size() - 7, 7, ";base64") == 0;
            sink.Report().archive = true;
            if (!sink.Begin("data address " + std::to_string(++found), 0, UINT64_MAX)) {
                at = data;
                continue;
            }
            at = Decode(source, data, base64, sink);
            if (!sink.End(false)) return;
        }
    }

private:
    // The next "data:" (any case) at or after offset, or UINT64_MAX.
    static uint64_t Next(ByteSource& source, uint64_t offset) { return FindText(source, offset, UINT64_MAX, "data:", true); }

    // Decodes the address's data into the sink's member; where the data ended.
    static uint64_t Decode(ByteSource& source, uint64_t at, bool base64, MemberSink& sink) {
        std::vector<uint8_t> out;
        out.reserve(Chunk);
        auto flush = [&] {
            const bool more = sink.Write(out.data(), out.size());
            out.clear();
            return more;
        };
        uint32_t bits = 0;
        int count = 0;
        for (; at < source.Size(); ++at) {
            const uint8_t c = source.At(at);
            if (base64) {
                if (c == '=') continue;
                if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
                const int value = Base64Value(c, true);
                if (value < 0) break;
                bits = bits << 6 | static_cast<uint32_t>(value);
                if ((count += 6) >= 8) {
                    count -= 8;
                    out.push_back(static_cast<uint8_t>(bits >> count));
                }
            } else {
                if (c == '"' || c == '\'' || c == '<' || c == '>' || c == ')' || std::isspace(c)) break;
                if (c == '%' && at + 2 < source.Size() && HexDigit(source.At(at + 1)) >= 0 && HexDigit(source.At(at + 2)) >= 0) {
                    out.push_back(static_cast<uint8_t>(HexDigit(source.At(at + 1)) * 16 + HexDigit(source.At(at + 2))));
                    at += 2;
                } else {
                    out.push_back(c);
                }
            }
            if (out.size() >= Chunk && !flush()) return at;
        }
        flush();
        return at;
    }
};

}  // namespace

bool HasHtmlTag(const std::vector<uint8_t>& b, size_t within) {
    static const char* const tags[] = {"html", "!doctype html", "head", "body", "a ", "script", "iframe",
                                       "img", "object", "embed", "svg", "meta", "div", "p>"};
    // Each '<' (few in most text) is compared with the tags: one pass, whatever the text's length.
    const auto end = b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), within));
    for (auto at = std::find(b.begin(), end, '<'); at != end; at = std::find(at + 1, end, '<'))
        for (const char* tag : tags) {
            const size_t length = std::strlen(tag);
            if (static_cast<size_t>(end - at) > length &&
                std::equal(tag, tag + length, at + 1, [](char t, uint8_t c) { return std::tolower(c) == t; }))
                return true;
        }
    return false;
}

bool LooksLikeHtml(const std::vector<uint8_t>& b) {
    const auto first = std::find_if(b.begin(), b.begin() + std::min<size_t>(b.size(), 1024),
                                    [](uint8_t c) { return !std::isspace(c) && c != 0xEF && c != 0xBB && c != 0xBF; });
    return first != b.end() && *first == '<' && HasHtmlTag(b, 4096);
}

std::unique_ptr<ArchiveFormat> MakeHtmlFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new HtmlFormat); }

}  // namespace RefEngine
