// The forms of text and of web pages that their signatures are written for: letters in lower case,
// each run of white space one space; in a page, character references decoded too, and inside its
// scripts the escapes that hide a script's strings (\xHH, \uHHHH, %HH, %uHHHH). Each reads the object
// once and keeps at most max bytes of what it makes.
#pragma once

#include "refengine/object/ObjectType.h"
#include "refengine/object/Source.h"

#include <cstdint>
#include <vector>

namespace RefEngine {

// False when the form would be longer than max (out then holds its first max bytes). Text in UTF-16
// is read after its byte-order mark, each character as its UTF-8 bytes.
bool NormaliseText(ByteSource& source, size_t max, std::vector<uint8_t>& out, TextEncoding encoding = TextEncoding::Bytes);
bool NormaliseHtml(ByteSource& source, size_t max, std::vector<uint8_t>& out);

}  // namespace RefEngine
