// The list a published base keeps of its own files: NAME.info inside the container. Its first line is a
// header like the container's ("ClamAV-VDB:build time:version:signatures:functionality level:..."),
// then one "file:size:sha256" line a file, and a last "DSIG:" line. The container's signature covers
// it and every patch edits it with the files it changes, so it, not the unsigned 512-byte header in
// front of the container, says which version the content is.
#pragma once

#include "update/CvdHeader.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace Update {

struct FileSummary {
    uint64_t size = 0;
    std::string sha256;  // lowercase hexadecimal
};
typedef std::map<std::string, FileSummary> FileSummaries;

// The files of a base and the text of its list (empty when it has none).
struct BaseContent {
    FileSummaries files;
    std::string info;
};

BaseContent ContentOf(const std::string& baseName, const std::map<std::string, std::string>& files);

// Reads a container through, digesting each file; false, with why, when it cannot be read or
// `stopping` said so.
bool ReadBaseContent(const std::wstring& path, const std::string& baseName, const std::function<bool()>& stopping, BaseContent& content,
                     std::wstring& error);

// True when the list is there and well formed, every file it lists is present with its size and
// digest, and every other file but the list itself (and the licence text) is listed. `signed`
// is the list's header.
bool CheckBaseContent(const std::string& baseName, const BaseContent& content, CvdHeader& signedHeader, std::wstring& error);

}  // namespace Update
