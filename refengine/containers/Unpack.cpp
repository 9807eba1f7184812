// The two ways a format's member usually comes out: stored, or deflated (zlib). In pieces into the
// sink's open member, no further than the sink wants them. And the search for a text in a source.
#include "refengine/containers/ArchiveFormats.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>

namespace RefEngine {

uint64_t FindText(ByteSource& source, uint64_t offset, uint64_t end, const std::string& text, bool ignoreCase) {
    const size_t length = text.size();
    end = std::min(end, source.Size());
    if (length == 0) return offset < end ? offset : UINT64_MAX;
    auto same = [ignoreCase](uint8_t a, char b) {
        return ignoreCase ? std::tolower(a) == std::tolower(static_cast<unsigned char>(b)) : a == static_cast<uint8_t>(b);
    };
    std::vector<uint8_t> across(length);
    while (offset < end && end - offset >= length) {
        size_t size = 0;
        const uint8_t* bytes = source.View(offset, size);
        if (!bytes || size == 0) return UINT64_MAX;
        size = static_cast<size_t>(std::min<uint64_t>(size, end - offset));
        if (size >= length) {
            const uint8_t* hit = std::search(bytes, bytes + size, text.begin(), text.end(), same);
            if (hit != bytes + size) return offset + static_cast<uint64_t>(hit - bytes);
            offset += size - length + 1;
        } else {
            // Fewer bytes lie together here than the text has: one place, read across the gap.
            if (source.Read(offset, across.data(), length) != length) return UINT64_MAX;
            if (std::equal(across.begin(), across.end(), text.begin(), same)) return offset;
            ++offset;
        }
    }
    return UINT64_MAX;
}

bool CopyInto(ByteSource& source, uint64_t offset, uint64_t size, MemberSink& sink) {
    std::vector<uint8_t> piece(65536);
    for (uint64_t done = 0; done < size && !sink.Full();) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(piece.size(), size - done));
        if (source.Read(offset + done, piece.data(), want) != want) return false;
        if (!sink.Write(piece.data(), want)) break;
        done += want;
    }
    return true;
}

bool InflateInto(ByteSource& source, uint64_t offset, uint64_t packed, MemberSink& sink, bool zlibWrapped) {
    z_stream stream = {};
    if (inflateInit2(&stream, zlibWrapped ? 15 : -15) != Z_OK) return false;
    std::vector<uint8_t> input(65536), piece(65536);
    uint64_t read = 0;
    int result = Z_OK;
    while (result != Z_STREAM_END && !sink.Full()) {
        if (stream.avail_in == 0 && read < packed) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(input.size(), packed - read));
            const size_t got = source.Read(offset + read, input.data(), want);
            if (got == 0) break;
            read += got;
            stream.next_in = input.data();
            stream.avail_in = static_cast<uInt>(got);
        }
        stream.next_out = piece.data();
        stream.avail_out = static_cast<uInt>(piece.size());
        result = inflate(&stream, Z_NO_FLUSH);
        const size_t produced = piece.size() - stream.avail_out;
        if (!sink.Write(piece.data(), produced)) break;
        if (result != Z_OK && result != Z_STREAM_END && !(result == Z_BUF_ERROR && produced)) break;
        if (result == Z_BUF_ERROR && stream.avail_in == 0 && read >= packed) break;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END || sink.Full() || sink.Stopped();
}

}  // namespace RefEngine
