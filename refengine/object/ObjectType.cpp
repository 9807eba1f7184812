// Telling an object's kind from its first bytes.
#include "refengine/object/ObjectType.h"

#include "refengine/object/ByteOrder.h"

#include <algorithm>
#include <cstring>

namespace RefEngine {
namespace {

bool StartsWith(const std::vector<uint8_t>& bytes, const char* magic, size_t length, size_t at = 0) {
    return bytes.size() >= at + length && std::memcmp(bytes.data() + at, magic, length) == 0;
}

bool Graphics(const std::vector<uint8_t>& b) {
    return StartsWith(b, "GIF87a", 6) || StartsWith(b, "GIF89a", 6) || StartsWith(b, "\x89PNG\r\n\x1a\n", 8) ||
           StartsWith(b, "\xFF\xD8\xFF", 3) || StartsWith(b, "II*\0", 4) || StartsWith(b, "MM\0*", 4) ||
           // A bitmap: its reserved words are zero and its header is one of the known sizes.
           (StartsWith(b, "BM", 2) && b.size() >= 18 && !b[6] && !b[7] && !b[8] && !b[9] &&
            (b[14] == 12 || b[14] == 40 || b[14] == 56 || b[14] == 108 || b[14] == 124) && !b[15]);
}

// Mostly printable ASCII in its first 4 KiB: no NUL (UTF-16 is not ASCII text), few other control
// characters, few bytes above 127.
bool AsciiText(const std::vector<uint8_t>& b) {
    const size_t n = std::min<size_t>(b.size(), 4096);
    if (n == 0) return false;
    size_t control = 0, high = 0;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = b[i];
        if (c == 0) return false;
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v' && c != 0x1B) ++control;
        else if (c >= 0x7F) ++high;
    }
    return control * 100 <= n && high * 10 <= n;
}

}  // namespace

uint16_t TypesOfBytes(const std::vector<uint8_t>& b) {
    uint16_t types = 0;
    if (StartsWith(b, "\x7F" "ELF", 4)) types |= TargetBit(ElfTarget);
    if (StartsWith(b, "\xFE\xED\xFA\xCE", 4) || StartsWith(b, "\xFE\xED\xFA\xCF", 4) || StartsWith(b, "\xCE\xFA\xED\xFE", 4) ||
        StartsWith(b, "\xCF\xFA\xED\xFE", 4))
        types |= TargetBit(MachOTarget);
    if (StartsWith(b, "\xCA\xFE\xBA\xBE", 4) && b.size() >= 8) {
        // A Java class's next word is its version (major 45 on); a universal Mach-O's, its few architectures.
        const uint64_t next = Integer(&b[4], 4, true);
        if (next >= 1 && next <= 32) types |= TargetBit(MachOTarget);
        else if ((next & 0xFFFF) >= 45) types |= TargetBit(JavaTarget);
    }
    const auto pdfWithin = b.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(b.size(), 1024));
    static const char pdf[] = "%PDF-";
    if (std::search(b.begin(), pdfWithin, pdf, pdf + 5) != pdfWithin) types |= TargetBit(PdfTarget);
    if ((StartsWith(b, "FWS", 3) || StartsWith(b, "CWS", 3) || StartsWith(b, "ZWS", 3)) && b.size() >= 8 && b[3] < 64)
        types |= TargetBit(FlashTarget);
    if (Graphics(b)) types |= TargetBit(GraphicsTarget);
    if (types) return types;
    if (LooksLikeMail(b)) return TargetBit(MailTarget);
    if (LooksLikeHtml(b)) return TargetBit(HtmlTarget);
    if (EncodingOfText(b) != TextEncoding::Bytes) return TargetBit(TextTarget);
    if (!AsciiText(b)) return 0;
    return static_cast<uint16_t>(TargetBit(TextTarget) | (HasHtmlTag(b, b.size()) ? TargetBit(HtmlTarget) : 0));
}

TextEncoding EncodingOfText(const std::vector<uint8_t>& b) {
    if (b.size() < 4 || !((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) return TextEncoding::Bytes;
    // Mostly printable characters below 256 in the first 2 KiB after the mark.
    const bool little = b[0] == 0xFF;
    size_t characters = 0, printable = 0;
    for (size_t i = 2; i + 1 < std::min<size_t>(b.size(), 2048); i += 2, ++characters) {
        const uint8_t low = little ? b[i] : b[i + 1], high = little ? b[i + 1] : b[i];
        if (high == 0 && (low >= 0x20 || low == '\t' || low == '\n' || low == '\r')) ++printable;
    }
    if (printable * 10 < characters * 9) return TextEncoding::Bytes;
    return little ? TextEncoding::Utf16Le : TextEncoding::Utf16Be;
}

}  // namespace RefEngine
