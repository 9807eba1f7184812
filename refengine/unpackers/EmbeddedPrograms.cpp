// Programs stored inside other objects as they stand (a dropper's payload, a program inside an
// unpacked image): each "MZ" after the object's first byte whose header leads to a valid PE header is a
// member, as long as its headers and sections say, so that it is scanned as the program (its digest,
// its structure). Looked for in PE files and in objects whose first bytes hold such a program, whatever
// other format reads the object too.
#include "refengine/containers/ArchiveFormats.h"
#include "refengine/object/ByteOrder.h"
#include "refengine/object/ObjectType.h"
#include "refengine/executables/PeImage.h"
#include "refengine/Limits.h"

#include <algorithm>

namespace RefEngine {
namespace {

// Where the program at offset ends (its headers and its sections' raw data), or 0 when no program
// lies there.
uint64_t ProgramEnd(ByteSource& source, uint64_t offset) {
    uint8_t dos[64];
    if (source.Read(offset, dos, sizeof dos) != sizeof dos || dos[0] != 'M' || dos[1] != 'Z') return 0;
    const uint32_t header = Le32(dos + 0x3C);
    if (header < sizeof dos || header > Limits::EmbeddedHeaderOffset) return 0;
    SourceWindow window(source, offset, source.Size() - offset);
    ObjectInfo info;
    if (!ReadPe(window, info)) return 0;
    // Its headers to the end of the section table, and its sections' data (which a small program may
    // lay over its headers).
    uint8_t file[24];
    if (window.Read(header, file, sizeof file) != sizeof file) return 0;
    uint64_t end = header + sizeof file + Le16(file + 20) + 40u * Le16(file + 6);
    for (const ObjectInfo::Section& section : info.sections) end = std::max(end, section.offset + section.rawSize);
    return offset + std::min(end, window.Size());
}

bool HoldsProgram(const std::vector<uint8_t>& bytes) {
    MemorySource head(bytes.data(), bytes.size());
    for (auto at = bytes.begin() + std::min<size_t>(1, bytes.size()); (at = std::find(at, bytes.end(), 'M')) != bytes.end(); ++at)
        if (at + 1 != bytes.end() && at[1] == 'Z' && ProgramEnd(head, static_cast<uint64_t>(at - bytes.begin()))) return true;
    return false;
}

class EmbeddedProgramsFormat : public ArchiveFormat {
public:
    bool Recognizes(const ObjectHead& head) const override { return (head.types & TargetBit(PeTarget)) || HoldsProgram(head.bytes); }
    bool Exclusive() const override { return false; }
    void Read(ByteSource& source, const ObjectHead&, MemberSink& sink) const override {
        uint32_t found = 0;
        for (uint64_t at = 1; found < Limits::EmbeddedPrograms && !sink.Stopped();) {
            at = FindText(source, at, source.Size(), "MZ");
            if (at == UINT64_MAX) return;
            const uint64_t end = ProgramEnd(source, at);
            if (!end) {
                ++at;
                continue;
            }
            sink.Report().archive = true;
            if (sink.Begin("program at " + std::to_string(at), end - at, end - at)) {
                const bool intact = CopyInto(source, at, end - at, sink);
                if (!sink.End(!intact, "embedded program cut short")) return;
            }
            ++found;
            at = end;
        }
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeEmbeddedProgramsFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new EmbeddedProgramsFormat); }

}  // namespace RefEngine
