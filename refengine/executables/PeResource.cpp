// The resource directory: a tree of three levels (type, name, language), each a 16-byte header that
// counts its named entries, then its numbered ones, then the entries (8 bytes: a name or number, and
// the offset of a subdirectory, high bit set, or of a data entry: the data's address and size).
// Offsets are from the directory's start; names are a length and as many UTF-16 characters.
#include "refengine/executables/PeResource.h"

#include "refengine/object/ByteOrder.h"

#include <algorithm>
#include <vector>

namespace RefEngine {
namespace {

const uint32_t Subdirectory = 0x80000000u;

class Directory {
public:
    Directory(ByteSource& source, uint64_t start, uint64_t size) : source_(source), start_(start), size_(size) {}

    bool Read(uint32_t offset, uint8_t* out, size_t size) const {
        return offset <= size_ && size <= size_ - offset && source_.Read(start_ + offset, out, size) == size;
    }
    // The entries of the subdirectory at offset: named ones first, then numbered.
    bool Entries(uint32_t offset, std::vector<uint8_t>& entries, uint32_t& named) const {
        uint8_t header[16];
        if (!Read(offset, header, sizeof header)) return false;
        named = Le16(header + 12);
        const uint32_t count = named + Le16(header + 14);
        entries.resize(count * 8u);
        return Read(offset + 16, entries.data(), entries.size());
    }
    bool NameIs(uint32_t offset, const std::string& name) const {
        uint8_t length[2];
        if (!Read(offset, length, 2) || Le16(length) != name.size()) return false;
        std::vector<uint8_t> text(name.size() * 2);
        if (!Read(offset + 2, text.data(), text.size())) return false;
        for (size_t i = 0; i < name.size(); ++i) {
            const uint16_t c = Le16(text.data() + 2 * i);
            if ((c >= 'a' && c <= 'z' ? c - 32 : c) != static_cast<uint8_t>(name[i])) return false;
        }
        return true;
    }

private:
    ByteSource& source_;
    uint64_t start_, size_;
};

// Where an address of the image lies in the file, and how many bytes of its section follow it there.
bool FileOffset(const PeLayout& pe, uint64_t fileSize, uint32_t rva, uint64_t& offset, uint64_t& extent) {
    const int index = SectionOf(pe, rva);
    if (index < 0) return false;
    const PeSection& s = pe.sections[static_cast<size_t>(index)];
    const uint32_t raw = RawStart(pe, s);
    const uint32_t into = rva - s.address;
    if (into >= s.rawSize || raw >= fileSize) return false;
    offset = static_cast<uint64_t>(raw) + into;
    extent = std::min<uint64_t>(s.rawSize - into, fileSize - std::min(offset, fileSize));
    return extent > 0;
}

}  // namespace

bool FindResource(ByteSource& source, const PeLayout& pe, uint32_t type, const std::string& name, ResourceData& out) {
    uint64_t start = 0, extent = 0;
    if (pe.resourceRva == 0 || !FileOffset(pe, source.Size(), pe.resourceRva, start, extent)) return false;
    const Directory directory(source, start, extent);
    std::vector<uint8_t> entries;
    uint32_t named = 0, offset = 0;
    // The type, by number.
    bool found = false;
    if (!directory.Entries(0, entries, named)) return false;
    for (size_t i = named; i < entries.size() / 8 && !found; ++i)
        if (Le32(&entries[i * 8]) == type && (Le32(&entries[i * 8 + 4]) & Subdirectory)) {
            offset = Le32(&entries[i * 8 + 4]) & ~Subdirectory;
            found = true;
        }
    // The name.
    if (!found || !directory.Entries(offset, entries, named)) return false;
    found = false;
    for (size_t i = 0; i < named && !found; ++i) {
        const uint32_t nameAt = Le32(&entries[i * 8]), to = Le32(&entries[i * 8 + 4]);
        if ((nameAt & Subdirectory) && (to & Subdirectory) && directory.NameIs(nameAt & ~Subdirectory, name)) {
            offset = to & ~Subdirectory;
            found = true;
        }
    }
    // The first language: a data entry.
    if (!found || !directory.Entries(offset, entries, named) || entries.empty() || (Le32(&entries[4]) & Subdirectory)) return false;
    uint8_t data[8];
    if (!directory.Read(Le32(&entries[4]), data, sizeof data)) return false;
    uint64_t dataExtent = 0;
    if (!FileOffset(pe, source.Size(), Le32(data), out.offset, dataExtent)) return false;
    out.size = std::min<uint64_t>(Le32(data + 4), dataExtent);
    return out.size > 0;
}

}  // namespace RefEngine
