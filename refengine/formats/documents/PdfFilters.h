// Decoding a PDF stream through the filters its dictionary names, in their order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace RefEngine {

// The names in a stream dictionary's /Filter, one or an array of them, without their slashes.
std::vector<std::string> PdfFilterNames(const std::string& dictionary);

enum class PdfDecoded { Decoded, Damaged, NotDecodable };
// data decoded in place by each filter in turn, no step's output beyond max bytes. Damaged: a filter
// met damaged data or the bound (data holds what came out); NotDecodable: a filter of images or
// encryption (data holds what came before it).
PdfDecoded DecodePdfStream(const std::vector<std::string>& filters, std::vector<uint8_t>& data, size_t max);

}  // namespace RefEngine
