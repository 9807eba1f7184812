// What signatures may be limited to: the kind of object (its target type) and the kind of container it
// was found in. Both are told from the object's first bytes and from where it came from, never from
// its name; an object may be of several kinds (a program stored in a document's compound file is a
// PE file and a file inside OLE2).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace RefEngine {

enum TargetType : int {
    AnyTarget = 0,
    PeTarget = 1,
    Ole2Target = 2,     // a stream of a compound file, or a VBA module's source
    HtmlTarget = 3,     // a web page, normalised
    MailTarget = 4,
    GraphicsTarget = 5,
    ElfTarget = 6,
    TextTarget = 7,     // text, normalised
    MachOTarget = 9,
    PdfTarget = 10,
    FlashTarget = 11,
    JavaTarget = 12,
};
const int MaxTargetType = 12;
inline uint16_t TargetBit(int type) { return static_cast<uint16_t>(1u << type); }
// Whether a signature of the target type may match an object of these types (type 0: any object).
inline bool TargetFits(int target, uint16_t types) { return target == AnyTarget || (types & TargetBit(target)); }

// The types the first bytes of an object show, PE files aside (the PE reader tells those by their
// headers). Mail is neither text nor a page; text that carries markup is both (HTML and text bits).
uint16_t TypesOfBytes(const std::vector<uint8_t>& head);

// The first line is a mail's or a mailbox's header field (Mail.cpp).
bool LooksLikeMail(const std::vector<uint8_t>& head);
// A page of HTML: markup from the first character on, with a tag of a page early on (Html.cpp).
bool LooksLikeHtml(const std::vector<uint8_t>& head);
// A tag of a page within the first bytes: text that carries markup is read as a page too.
bool HasHtmlTag(const std::vector<uint8_t>& head, size_t within);
// Text in UTF-16 (after its byte-order mark), read a character a byte for its normalised form.
enum class TextEncoding { Bytes, Utf16Le, Utf16Be };
TextEncoding EncodingOfText(const std::vector<uint8_t>& head);

}  // namespace RefEngine
