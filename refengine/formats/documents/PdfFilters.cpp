// The filters of PDF streams (PDF 1.7, 7.4), each decoding a whole stream in memory into at most max
// bytes: FlateDecode (zlib), ASCIIHexDecode, ASCII85Decode, LZWDecode (early change, as the default
// is) and RunLengthDecode. Predictors are not undone.
#include "refengine/formats/documents/PdfFilters.h"

#include "refengine/object/Fields.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>

namespace RefEngine {
namespace {

bool Space(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == 0; }

// Each decoder: false when the data is damaged or its output would pass max.
bool Flate(const std::vector<uint8_t>& in, size_t max, std::vector<uint8_t>& out) {
    z_stream stream = {};
    if (inflateInit2(&stream, 15 + 32) != Z_OK) return false;  // zlib or gzip wrapping, as found
    stream.next_in = const_cast<Bytef*>(in.data());
    stream.avail_in = static_cast<uInt>(in.size());
    int result = Z_OK;
    uint8_t piece[16384];
    while (result == Z_OK) {
        stream.next_out = piece;
        stream.avail_out = sizeof piece;
        result = inflate(&stream, Z_NO_FLUSH);
        const size_t produced = sizeof piece - stream.avail_out;
        if (out.size() + produced > max) {
            inflateEnd(&stream);
            return false;
        }
        out.insert(out.end(), piece, piece + produced);
        if (result == Z_BUF_ERROR && produced) result = Z_OK;
    }
    inflateEnd(&stream);
    return result == Z_STREAM_END;
}

bool AsciiHex(const std::vector<uint8_t>& in, size_t max, std::vector<uint8_t>& out) {
    int high = -1;
    for (uint8_t c : in) {
        if (c == '>') break;
        if (Space(c)) continue;
        const int digit = HexDigit(static_cast<char>(c));
        if (digit < 0) return false;
        if (high < 0) {
            high = digit;
            continue;
        }
        if (out.size() >= max) return false;
        out.push_back(static_cast<uint8_t>(high << 4 | digit));
        high = -1;
    }
    if (high >= 0 && out.size() < max) out.push_back(static_cast<uint8_t>(high << 4));
    return true;
}

bool Ascii85(const std::vector<uint8_t>& in, size_t max, std::vector<uint8_t>& out) {
    uint32_t group = 0;
    int count = 0;
    auto emit = [&](int bytes) {
        if (out.size() + static_cast<size_t>(bytes) > max) return false;
        for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(group >> (24 - 8 * i)));
        return true;
    };
    size_t i = 0;
    while (i < in.size() && Space(in[i])) ++i;
    if (i + 1 < in.size() && in[i] == '<' && in[i + 1] == '~') i += 2;  // the opening some writers add
    for (; i < in.size(); ++i) {
        const uint8_t c = in[i];
        if (Space(c)) continue;
        if (c == '~') break;
        if (c == 'z' && count == 0) {
            group = 0;
            if (!emit(4)) return false;
            continue;
        }
        if (c < '!' || c > 'u') return false;
        const uint64_t next = static_cast<uint64_t>(group) * 85 + static_cast<uint32_t>(c - '!');
        if (next > UINT32_MAX) return false;
        group = static_cast<uint32_t>(next);
        if (++count == 5) {
            if (!emit(4)) return false;
            group = 0;
            count = 0;
        }
    }
    if (count == 1) return false;
    if (count > 1) {  // the last group, padded with 'u'
        for (int k = count; k < 5; ++k) {
            const uint64_t next = static_cast<uint64_t>(group) * 85 + 84;
            if (next > UINT32_MAX) return false;
            group = static_cast<uint32_t>(next);
        }
        if (!emit(count - 1)) return false;
    }
    return true;
}

bool RunLength(const std::vector<uint8_t>& in, size_t max, std::vector<uint8_t>& out) {
    for (size_t i = 0; i < in.size();) {
        const uint8_t length = in[i++];
        if (length == 128) break;
        if (length < 128) {
            const size_t n = static_cast<size_t>(length) + 1;
            if (i + n > in.size() || out.size() + n > max) return false;
            out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(i), in.begin() + static_cast<std::ptrdiff_t>(i + n));
            i += n;
        } else {
            const size_t n = 257u - length;
            if (i >= in.size() || out.size() + n > max) return false;
            out.insert(out.end(), n, in[i++]);
        }
    }
    return true;
}

bool Lzw(const std::vector<uint8_t>& in, size_t max, std::vector<uint8_t>& out) {
    const int Clear = 256, End = 257, Size = 4096;
    std::vector<uint16_t> prefix(Size), length(Size);
    std::vector<uint8_t> last(Size), first(Size);
    for (int c = 0; c < 256; ++c) {
        last[c] = first[c] = static_cast<uint8_t>(c);
        length[c] = 1;
    }
    int width = 9, next = 258, previous = -1;
    uint32_t bits = 0;
    int held = 0;
    size_t at = 0;
    for (;;) {
        while (held < width && at < in.size()) {
            bits = bits << 8 | in[at++];
            held += 8;
        }
        if (held < width) return true;  // the data ended without its end code
        const int code = static_cast<int>((bits >> (held - width)) & ((1u << width) - 1));
        held -= width;
        if (code == Clear) {
            width = 9;
            next = 258;
            previous = -1;
            continue;
        }
        if (code == End) return true;
        int entry = code;
        if (previous >= 0 && next < Size) {
            if (code > next) return false;
            // The new entry: the previous one and the first byte of this one (of itself, when it is new).
            prefix[next] = static_cast<uint16_t>(previous);
            last[next] = code == next ? first[previous] : first[code];
            first[next] = first[previous];
            length[next] = static_cast<uint16_t>(length[previous] + 1);
            ++next;
        } else if (code >= next) {
            return false;
        }
        if (out.size() + length[entry] > max) return false;
        const size_t start = out.size();
        out.resize(start + length[entry]);
        for (size_t k = out.size(); k > start; entry = prefix[entry]) out[--k] = last[entry];  // from its last byte back
        previous = code;
        if (next + 1 >= (1 << width) && width < 12) ++width;
    }
}

}  // namespace

std::vector<std::string> PdfFilterNames(const std::string& dictionary) {
    std::vector<std::string> names;
    const size_t key = dictionary.find("/Filter");
    if (key == std::string::npos) return names;
    size_t at = dictionary.find_first_not_of(" \t\r\n", key + 7);
    if (at == std::string::npos) return names;
    const bool list = dictionary[at] == '[';
    if (list) ++at;
    while (at < dictionary.size() && names.size() < 8) {
        at = dictionary.find_first_not_of(" \t\r\n", at);
        if (at == std::string::npos || dictionary[at] != '/') break;
        size_t end = at + 1;
        while (end < dictionary.size() && std::isalnum(static_cast<unsigned char>(dictionary[end]))) ++end;
        names.push_back(dictionary.substr(at + 1, end - at - 1));
        at = end;
        if (!list) break;
    }
    return names;
}

PdfDecoded DecodePdfStream(const std::vector<std::string>& filters, std::vector<uint8_t>& data, size_t max) {
    for (const std::string& name : filters) {
        std::vector<uint8_t> out;
        bool intact = false;
        if (name == "FlateDecode" || name == "Fl") intact = Flate(data, max, out);
        else if (name == "ASCIIHexDecode" || name == "AHx") intact = AsciiHex(data, max, out);
        else if (name == "ASCII85Decode" || name == "A85") intact = Ascii85(data, max, out);
        else if (name == "LZWDecode" || name == "LZW") intact = Lzw(data, max, out);
        else if (name == "RunLengthDecode" || name == "RL") intact = RunLength(data, max, out);
        else return PdfDecoded::NotDecodable;  // images, encryption: what they hold stays as it stands
        data.swap(out);
        if (!intact) return PdfDecoded::Damaged;
    }
    return PdfDecoded::Decoded;
}

}  // namespace RefEngine
