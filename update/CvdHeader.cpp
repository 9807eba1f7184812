#include "update/CvdHeader.h"

#include "base/WinHandle.h"

#include <algorithm>
#include <vector>

namespace Update {
namespace {

bool Number(const std::string& text, uint64_t limit, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
        if (value > limit) return false;
    }
    return true;
}

// A field is printable text without the separator.
bool Printable(const std::string& text) {
    for (char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

}  // namespace

bool CvdHeader::Parse(const char* bytes, size_t size) {
    if (size < CvdHeaderSize) return false;
    std::string text(bytes, CvdHeaderSize);
    const size_t end = text.find('\0');
    if (end != std::string::npos) text.resize(end);
    return ParseLine(text, 8);
}

bool CvdHeader::ParseLine(std::string text, size_t minimumFields) {
    *this = CvdHeader();
    while (!text.empty() && (text.back() == ' ' || text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!Printable(text)) return false;
    std::vector<std::string> fields;
    for (size_t start = 0;;) {
        const size_t colon = text.find(':', start);
        fields.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    const size_t count = fields.size();
    uint64_t v = 0, s = 0, l = 0, seconds = 0;
    fields.resize(std::max<size_t>(fields.size(), 8));
    if (count < minimumFields || fields[0] != "ClamAV-VDB" || !Number(fields[2], UINT32_MAX, v) || !Number(fields[3], UINT32_MAX, s) ||
        !Number(fields[4], UINT32_MAX, l))
        return false;
    if (fields.size() > 8 && !fields[8].empty() && !Number(fields[8], UINT64_MAX / 10, seconds)) return false;
    buildTime = fields[1];
    version = static_cast<uint32_t>(v);
    signatures = static_cast<uint32_t>(s);
    level = static_cast<uint32_t>(l);
    md5 = fields[5];
    signature = fields[6];
    builder = fields[7];
    buildSeconds = seconds;
    return version > 0;
}

std::string CvdHeader::Format() const {
    std::string text = "ClamAV-VDB:" + buildTime + ":" + std::to_string(version) + ":" + std::to_string(signatures) + ":" +
                       std::to_string(level) + ":" + md5 + ":X:" + builder + ":" + std::to_string(buildSeconds);
    text.resize(CvdHeaderSize, ' ');
    return text;
}

CvdHeader ReadCvdHeader(const std::wstring& path) {
    CvdHeader header;
    Win::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr));
    char bytes[CvdHeaderSize];
    DWORD got = 0;
    if (!file || !::ReadFile(file.Get(), bytes, sizeof bytes, &got, nullptr) || !header.Parse(bytes, got)) return CvdHeader();
    return header;
}

}  // namespace Update
