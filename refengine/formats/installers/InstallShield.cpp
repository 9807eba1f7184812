// The files an InstallShield setup program carries after its image: one after another, each behind
// four texts that end in a zero byte (its name, its path on the setup disk, its version, and its size
// in decimal digits). Each file is a member, scanned as itself; and so is each file of the cabinet
// sets of InstallShield's own among them.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/Limits.h"

#include <algorithm>

namespace RefEngine {
namespace {

struct Entry {
    std::string name, path;
    uint64_t size = 0;
    uint64_t data = 0;  // where its bytes begin
};

// The entry whose texts begin at offset; false when they are not those of an entry.
bool ReadEntry(ByteSource& source, uint64_t offset, Entry& out) {
    std::string texts[4];
    uint64_t at = offset;
    for (std::string& text : texts) {
        for (;; ++at) {
            if (at >= source.Size() || text.size() > Limits::InstallShieldText) return false;
            const uint8_t c = source.At(at);
            if (c == 0) break;
            if (c < 0x20 || c == 0x7F) return false;
            text += static_cast<char>(c);
        }
        ++at;
        if (text.empty()) return false;
    }
    if (texts[3].size() > 12 || texts[3].find_first_not_of("0123456789") != std::string::npos) return false;
    if (texts[2].find_first_not_of("0123456789.") != std::string::npos) return false;
    out.name = texts[0];
    out.path = texts[1];
    out.size = std::stoull(texts[3]);
    out.data = at;
    return true;
}

class InstallShieldFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override {
        if (!head.overlay || head.overlayBytes.empty()) return false;
        MemorySource overlay(head.overlayBytes.data(), head.overlayBytes.size());
        Entry first;
        return ReadEntry(overlay, 0, first) && first.path.find('\\') != std::string::npos;
    }
    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        Entry entry;
        std::vector<CabinetPart> parts;
        for (uint64_t at = head.overlay; at < source.Size() && ReadEntry(source, at, entry) && !sink.Stopped();) {
            sink.Report().archive = true;
            const bool cut = entry.size > source.Size() - entry.data;
            const uint64_t stored = cut ? source.Size() - entry.data : entry.size;
            if (sink.Begin(entry.path, stored, entry.size)) {
                const bool intact = CopyInto(source, entry.data, stored, sink);
                if (!sink.End(cut || !intact, "InstallShield file cut short")) return;
            }
            parts.push_back(CabinetPart{entry.name, entry.path, entry.data, stored});
            at = entry.data + stored;
        }
        ReadInstallShieldCabinets(source, parts, sink);
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeInstallShieldFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new InstallShieldFormat); }

}  // namespace RefEngine
