// InstallShield's own cabinets ("ISc("): a header (dataN.hdr, or a cabinet that carries its own) lists
// the files of the set; their bytes lie in the volumes dataN.cab, dataN+1.cab, ..., each file in
// pieces of at most 64 KiB, each piece a two-byte length and a whole raw deflate stream. Only the
// header layout of InstallShield 6 and later is known here; an older set is reported, not guessed at.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/Fields.h"
#include "refengine/Limits.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace RefEngine {
namespace {

const uint32_t Signature = 0x28635349;  // "ISc("
const size_t DescriptorBytes = 0x57;
const uint16_t FileSplit = 1, FileObfuscated = 2, FileCompressed = 4, FileInvalid = 8;
const uint64_t VolumeHeaderBytes = 0x200;  // a volume's data begins after its header

// A little-endian field of width bytes; 0 where the header ends first.
uint64_t Field(const std::vector<uint8_t>& bytes, uint64_t at, int width) {
    return at <= bytes.size() && bytes.size() - at >= static_cast<uint64_t>(width) ? Integer(bytes.data() + at, width) : 0;
}

// The text that begins at offset in bytes, up to a zero byte (at most 260 characters).
std::string TextAt(const std::vector<uint8_t>& bytes, uint64_t offset) {
    std::string text;
    for (uint64_t at = offset; at < bytes.size() && bytes[at] && text.size() < 260; ++at) text += static_cast<char>(bytes[at]);
    return text;
}

struct FileEntry {
    uint16_t flags = 0, volume = 0, directory = 0;
    uint64_t expanded = 0, compressed = 0, offset = 0;
    std::string name;
};

class CabinetSet {
public:
    CabinetSet(ByteSource& source, const std::vector<CabinetPart>& parts, MemberSink& sink) : source_(source), sink_(sink) {
        for (const CabinetPart& part : parts) byName_.insert(std::make_pair(LowerAscii(part.name), &part));
    }

    // The files the header part lists, each a member named by the volume that holds it.
    void Read(const CabinetPart& header) {
        if (header.size > Limits::InstallShieldHeader) return sink_.Refuse("InstallShield cabinet header over the limit", true);
        std::vector<uint8_t> bytes(static_cast<size_t>(header.size));
        if (source_.Read(header.offset, bytes.data(), bytes.size()) != bytes.size()) return sink_.Refuse("InstallShield cabinet header cut short");
        const uint32_t version = Field(bytes, 4, 4);
        const unsigned major = version >> 24 == 1 ? (version >> 12) & 0xF : 0;
        if (major < 6) return sink_.Refuse("InstallShield cabinet of an older version (" + std::to_string(version) + ") not opened");
        const uint64_t descriptor = Field(bytes, 0x0C, 4);
        const uint64_t table = descriptor + Field(bytes, descriptor + 0x0C, 4);
        const uint64_t tableSize = Field(bytes, descriptor + 0x14, 4);
        const uint32_t directories = Field(bytes, descriptor + 0x1C, 4), files = Field(bytes, descriptor + 0x28, 4);
        const uint64_t entries = table + Field(bytes, descriptor + 0x2C, 4);
        if (table > bytes.size() || tableSize > bytes.size() - table || directories > tableSize / 4 ||
            entries < table + 4ull * directories || files > (bytes.size() - std::min<uint64_t>(entries, bytes.size())) / DescriptorBytes)
            return sink_.Refuse("InstallShield cabinet header damaged");
        const std::string prefix = Prefix(header.name);
        for (uint32_t index = 0; index < files && !sink_.Stopped(); ++index) {
            const uint64_t at = entries + static_cast<uint64_t>(index) * DescriptorBytes;
            FileEntry file;
            file.flags = Field(bytes, at, 2);
            file.expanded = Field(bytes, at + 0x02, 8);
            file.compressed = Field(bytes, at + 0x0A, 8);
            file.offset = Field(bytes, at + 0x12, 8);
            file.name = TextAt(bytes, table + Field(bytes, at + 0x3A, 4));
            file.directory = Field(bytes, at + 0x3E, 2);
            file.volume = Field(bytes, at + 0x55, 2);
            if (file.directory < directories) {
                const std::string folder = TextAt(bytes, table + Field(bytes, table + 4ull * file.directory, 4));
                if (!folder.empty()) file.name = folder + "\\" + file.name;
            }
            // Not in the set: the files the setup disk keeps beside the cabinets (at offset 0, inside
            // a header), entries marked unused, and empty files (listed where the next file begins).
            if ((file.flags & FileInvalid) || file.offset < VolumeHeaderBytes || file.expanded == 0) continue;
            // Linked entries share their bytes: each stretch is scanned once.
            if (!seen_.insert(std::make_tuple(file.volume, file.offset, file.compressed, file.expanded)).second) continue;
            Extract(file, prefix);
        }
    }

private:
    // "data1.hdr" -> "data": the volumes are that and their number, then ".cab".
    static std::string Prefix(const std::string& name) {
        std::string stem = LowerAscii(name.substr(0, name.rfind('.')));
        while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back()))) stem.pop_back();
        return stem;
    }

    const CabinetPart* Volume(const std::string& prefix, unsigned number) const {
        const auto found = byName_.find(prefix + std::to_string(number) + ".cab");
        return found == byName_.end() ? nullptr : found->second;
    }

    void Extract(const FileEntry& file, const std::string& prefix) {
        if (file.flags & FileSplit) return sink_.Refuse("InstallShield file split across cabinets");
        if (file.flags & FileObfuscated) return sink_.Refuse("InstallShield file obfuscated");
        const CabinetPart* volume = Volume(prefix, file.volume);
        if (!volume) return sink_.Refuse("InstallShield cabinet " + prefix + std::to_string(file.volume) + ".cab missing");
        const uint64_t stored = file.flags & FileCompressed ? file.compressed : file.expanded;
        const bool cut = file.offset > volume->size || stored > volume->size - file.offset;
        const uint64_t available = cut ? (file.offset > volume->size ? 0 : volume->size - file.offset) : stored;
        if (!sink_.Begin(volume->path + "\\" + file.name, stored, file.expanded)) return;
        const uint64_t start = volume->offset + file.offset;
        bool intact = true;
        if (file.flags & FileCompressed) {
            for (uint64_t at = 0; at < available && intact && !sink_.Full() && !sink_.Stopped();) {
                uint8_t length[2];
                if (available - at < 2 || source_.Read(start + at, length, 2) != 2) { intact = false; break; }
                const uint64_t piece = length[0] | length[1] << 8;
                at += 2;
                if (piece == 0 || piece > available - at) { intact = false; break; }
                intact = InflateInto(source_, start + at, piece, sink_, false);
                at += piece;
            }
        } else {
            intact = CopyInto(source_, start, available, sink_);
        }
        sink_.End(cut || !intact, "InstallShield cabinet file damaged");
    }

    ByteSource& source_;
    MemberSink& sink_;
    std::map<std::string, const CabinetPart*> byName_;  // the first part of each name, in lower case
    std::set<std::tuple<uint16_t, uint64_t, uint64_t, uint64_t>> seen_;
};

}  // namespace

void ReadInstallShieldCabinets(ByteSource& source, const std::vector<CabinetPart>& parts, MemberSink& sink) {
    CabinetSet set(source, parts, sink);
    for (const CabinetPart& part : parts) {
        uint8_t head[0x14];
        if (sink.Stopped() || part.size < sizeof head || source.Read(part.offset, head, sizeof head) != sizeof head) continue;
        // A header part: one that describes the set (a volume alone has no descriptor).
        if (Le32(head) == Signature && Le32(head + 0x10) != 0) set.Read(part);
    }
}

}  // namespace RefEngine
