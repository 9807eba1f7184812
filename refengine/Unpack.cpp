// The two ways a format's member usually comes out: stored, or deflated (zlib). In pieces into the
// sink's open member, no further than the sink wants them.
#include "refengine/ArchiveFormats.h"

#include <zlib.h>

#include <algorithm>

namespace RefEngine {

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
