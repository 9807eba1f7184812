// RAR archives (versions 4 and 5, and a self-extractor's archive after its program) through libarchive,
// whose readers unpack what 7-Zip's source as Debian ships it cannot: each member's bytes go into the
// sink as they come out. libarchive caps the dictionaries it accepts (64 MiB for RAR 5).
#define LIBARCHIVE_STATIC
#include <archive.h>
#include <archive_entry.h>

#include "refengine/containers/ArchiveFormats.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

const char Rar4[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x00};
const char Rar5[] = {'R', 'a', 'r', '!', 0x1A, 0x07, 0x01, 0x00};

bool StartsRar(const std::vector<uint8_t>& bytes) {
    return (bytes.size() >= sizeof Rar4 && std::memcmp(bytes.data(), Rar4, sizeof Rar4) == 0) ||
           (bytes.size() >= sizeof Rar5 && std::memcmp(bytes.data(), Rar5, sizeof Rar5) == 0);
}

bool HoldsRar(const std::vector<uint8_t>& bytes) {
    const char* const begin = reinterpret_cast<const char*>(bytes.data());
    const char* const end = begin + bytes.size();
    return std::search(begin, end, Rar4, Rar4 + 6) != end;  // the first six bytes are both versions'
}

// The object's bytes from an offset on, as libarchive reads, skips and seeks in them.
struct Input {
    ByteSource* source;
    uint64_t base, pos;
    uint8_t buffer[65536];
};

la_ssize_t ReadInput(struct archive*, void* data, const void** block) {
    Input& in = *static_cast<Input*>(data);
    const uint64_t size = in.source->Size() - in.base;
    const size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof in.buffer, in.pos < size ? size - in.pos : 0));
    const size_t got = want ? in.source->Read(in.base + in.pos, in.buffer, want) : 0;
    in.pos += got;
    *block = in.buffer;
    return static_cast<la_ssize_t>(got);
}

la_int64_t SeekInput(struct archive*, void* data, la_int64_t offset, int whence) {
    Input& in = *static_cast<Input*>(data);
    const int64_t size = static_cast<int64_t>(in.source->Size() - in.base);
    const int64_t to = whence == SEEK_SET ? offset : whence == SEEK_CUR ? static_cast<int64_t>(in.pos) + offset : size + offset;
    if (to < 0) return ARCHIVE_FATAL;
    in.pos = static_cast<uint64_t>(to);
    return to;
}

la_int64_t SkipInput(struct archive* a, void* data, la_int64_t request) {
    Input& in = *static_cast<Input*>(data);
    const uint64_t size = in.source->Size() - in.base;
    const uint64_t left = in.pos < size ? size - in.pos : 0;
    const la_int64_t skipped = std::min<la_int64_t>(request, static_cast<la_int64_t>(left));
    in.pos += static_cast<uint64_t>(skipped);
    (void)a;
    return skipped;
}

class RarFormat : public ArchiveFormat {
public:

    bool Recognizes(const ObjectHead& head) const override {
        return StartsRar(head.bytes) || (head.overlay && HoldsRar(head.overlayBytes));
    }

    void Read(ByteSource& source, const ObjectHead& head, MemberSink& sink) const override {
        struct archive* a = archive_read_new();
        if (!a) return;
        archive_read_support_format_rar(a);
        archive_read_support_format_rar5(a);
        std::unique_ptr<Input> in(new Input{&source, StartsRar(head.bytes) ? 0 : head.overlay, 0, {}});
        archive_read_set_read_callback(a, ReadInput);
        archive_read_set_seek_callback(a, SeekInput);
        archive_read_set_skip_callback(a, SkipInput);
        archive_read_set_callback_data(a, in.get());
        if (archive_read_open1(a) != ARCHIVE_OK) {
            archive_read_free(a);
            return;
        }
        ArchiveReport& report = sink.Report();
        report.archive = true;
        std::vector<char> piece(65536);
        struct archive_entry* entry = nullptr;
        int status = ARCHIVE_OK;
        while (!sink.Stopped() && (status = archive_read_next_header(a, &entry)) >= ARCHIVE_WARN) {
            if (archive_entry_filetype(entry) != AE_IFREG) continue;
            const char* path = archive_entry_pathname_utf8(entry);
            if (!path) path = archive_entry_pathname(entry);
            if (archive_entry_is_encrypted(entry)) {
                sink.Refuse("encrypted RAR member");
                continue;
            }
            const uint64_t declared = archive_entry_size_is_set(entry) ? static_cast<uint64_t>(archive_entry_size(entry)) : UINT64_MAX;
            if (!sink.Begin(path ? path : "", 0, declared)) continue;
            la_ssize_t got = 0;
            while ((got = archive_read_data(a, piece.data(), piece.size())) > 0 && !sink.Full())
                if (!sink.Write(piece.data(), static_cast<size_t>(got))) break;
            if (!sink.End(got < 0, got < 0 ? "damaged RAR member" : std::string())) break;
            if (got == ARCHIVE_FATAL) {
                status = ARCHIVE_FATAL;
                break;
            }
        }
        if (status == ARCHIVE_FATAL && !sink.Stopped()) sink.Refuse("damaged RAR archive");
        archive_read_free(a);
    }
};

}  // namespace

std::unique_ptr<ArchiveFormat> MakeRarFormat(FormatId) { return std::unique_ptr<ArchiveFormat>(new RarFormat); }

}  // namespace RefEngine
