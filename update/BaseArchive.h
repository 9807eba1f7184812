// A base container (.cvd or .cld) as a set of named text files, for patching: read whole, written whole.
#pragma once

#include "update/CvdHeader.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace Update {

struct BaseFiles {
    CvdHeader header;
    std::map<std::string, std::string> files;  // name -> content
};

// Limits on what a container may unpack to; a base beyond them is refused, not cut.
const uint64_t MaxUnpackedBaseBytes = 1536ull << 20;
const size_t MaxBaseFiles = 4096;

// What to do with each plain file of a container: begin (its name and size), then its content in
// pieces; either returning false stops the walk.
struct BaseFileVisitor {
    std::function<bool(const std::string& name, uint64_t size)> begin;
    std::function<bool(const uint8_t* data, size_t size)> piece;
};

// False, with why, when the container is damaged, too large or not one, or the visitor stopped.
bool WalkBaseArchive(const std::wstring& path, CvdHeader& header, const BaseFileVisitor& visit, std::wstring& error);

// False, with why, when the file cannot be read whole (damaged, too large, not a container).
bool ReadBaseArchive(const std::wstring& path, BaseFiles& base, std::wstring& error);

// Writes the header (its MD5 set to the archive's) and the tar of the files, not compressed (the next
// patch reads it faster). The file is written through to the disk before this returns true.
bool WriteBaseArchive(const std::wstring& path, const BaseFiles& base, std::wstring& error);

}  // namespace Update
