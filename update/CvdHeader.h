// The 512-byte text header of a published base (.cvd) and of one kept up to date locally (.cld):
//   ClamAV-VDB:build time:version:signatures:functionality level:MD5:digital signature:builder:build seconds
// padded with spaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Update {

const size_t CvdHeaderSize = 512;

struct CvdHeader {
    std::string buildTime;
    uint32_t version = 0;
    uint32_t signatures = 0;
    uint32_t level = 0;
    std::string md5, signature, builder;
    uint64_t buildSeconds = 0;

    // False when the bytes are not such a header.
    bool Parse(const char* bytes, size_t size);
    // The same fields as one line of text; the list a base keeps of its own files starts with one,
    // of which only the first five fields count.
    bool ParseLine(std::string text, size_t minimumFields);
    // The header of a base built here: no digital signature ("X").
    std::string Format() const;
};

// The header of a base file on the disk; version 0 when there is none or it is not a base.
CvdHeader ReadCvdHeader(const std::wstring& path);

}  // namespace Update
