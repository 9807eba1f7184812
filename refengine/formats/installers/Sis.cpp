// Installation files of Symbian's first platforms (SIS, before version 9): a header of UIDs and counts,
// then a list of records at its file pointer; a file record names the file and where its bytes lie,
// one copy for each language when it differs by language, zlib-compressed unless the header says
// otherwise. Records of options and conditions are passed over. Each file is a member.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/Limits.h"

#include <algorithm>

namespace RefEngine {
namespace {

const uint32_t Uid2Before6 = 0x1000006D, Uid2Release6 = 0x10003A12, Uid3 = 0x10000419;


class SisFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        const std::vector<uint8_t>& b = head.bytes;
        return b.size() >= 0x44 && (Le32(&b[4]) == Uid2Before6 || Le32(&b[4]) == Uid2Release6) && Le32(&b[8]) == Uid3;
    }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        const std::vector<uint8_t>& b = head.bytes;
        if (!Recognizes(head)) return;  // read only what is one (the header's fields below)
        const bool release6 = Le32(&b[4]) == Uid2Release6;
        const uint32_t languages = Le16(&b[0x12]), records = Le16(&b[0x14]);
        const bool unicode = Le16(&b[0x24]) & 0x1, compressed = !(Le16(&b[0x24]) & 0x8);
        uint64_t at = Le32(&b[0x34]);
        sink.Report().archive = true;
        if (languages == 0 || languages > Limits::SisLanguages || records > Limits::SisRecords) {
            sink.Report().Note("damaged SIS header", false);
            return;
        }
        for (uint32_t r = 0; r < records && !sink.Stopped(); ++r) {
            uint32_t type = 0;
            if (!Word(source, at, type)) return Damaged(sink);
            at += 4;
            if (type == 5 || type == 6) continue;  // else, end of a condition
            if (type == 3 || type == 4) {          // a condition: its size, then its expression
                uint32_t size = 0;
                if (!Word(source, at, size)) return Damaged(sink);
                at += 4 + static_cast<uint64_t>(size);
                continue;
            }
            if (type == 2) {  // options: their count, then a name of each in every language, and a selection
                uint32_t options = 0;
                if (!Word(source, at, options) || options > Limits::SisRecords) return Damaged(sink);
                at += 4 + static_cast<uint64_t>(options) * languages * 8 + 16;
                continue;
            }
            if (type > 1) return Damaged(sink);
            // A file: its type, details, source and destination names, then a length and a place for
            // each copy (one, or one a language), and for release 6 each copy's unpacked length.
            const uint32_t copies = type == 0 ? 1 : languages;
            std::vector<uint8_t> fixed(24 + copies * 8);
            if (source.Read(at, fixed.data(), fixed.size()) != fixed.size()) return Damaged(sink);
            at += fixed.size() + (release6 ? copies * 4 + 8 : 0);
            const std::string name = Text(source, Le32(&fixed[20]), Le32(&fixed[16]), unicode);
            for (uint32_t c = 0; c < copies && !sink.Stopped(); ++c) {
                const uint32_t length = Le32(&fixed[24 + 4 * c]), place = Le32(&fixed[24 + 4 * (copies + c)]);
                if (length == 0) continue;  // a file the installer only removes or runs
                if (place > source.Size() || length > source.Size() - place) {
                    sink.Refuse("SIS file beyond the end");
                    continue;
                }
                if (!sink.Begin(copies > 1 ? name + " (" + std::to_string(c + 1) + ")" : name, length, UINT64_MAX)) continue;
                const bool intact = compressed ? InflateInto(source, place, length, sink, true) : CopyInto(source, place, length, sink);
                if (!sink.End(!intact, "damaged SIS file")) return;
            }
        }
    }

private:
    static bool Word(ByteSource& source, uint64_t at, uint32_t& out) {
        uint8_t bytes[4];
        if (source.Read(at, bytes, 4) != 4) return false;
        out = Le32(bytes);
        return true;
    }
    static void Damaged(MemberSink& sink) { sink.Report().Note("damaged SIS record", false); }
    // A name: UTF-16 (each character's low byte kept) or bytes, without its folders.
    static std::string Text(ByteSource& source, uint32_t at, uint32_t length, bool unicode) {
        std::vector<uint8_t> bytes(std::min(length, Limits::SisNameBytes));
        bytes.resize(source.Read(at, bytes.data(), bytes.size()));
        std::string text;
        for (size_t i = 0; i < bytes.size(); i += unicode ? 2 : 1) text += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '_';
        const size_t slash = text.find_last_of("\\/:");
        text = slash == std::string::npos ? text : text.substr(slash + 1);
        return text.empty() ? std::string("file") : text;
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeSisFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new SisFormat); }

}  // namespace RefEngine
