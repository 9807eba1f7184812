// The signatures of the reference engine and the readers of its base formats:
//   .tvb  its own:  Name|Offset|HexSignature|Cure        (Cure: none or truncate)
//   .ndb  body signatures: Name:TargetType:Offset:HexSignature[:MinFL[:MaxFL]]
//   .hdb  MD5:Size:Name      .hsb  SHA-1 or SHA-256:Size:Name
// Lines outside what is understood are skipped and counted. Base files may be UTF-8 (with or without a
// byte-order mark) or UTF-16 with one, with LF, CRLF or CR line ends; an overlong line is skipped and
// counted, and reading goes on.
#pragma once

#include "refengine/Signature.h"
#include "refengine/SignatureStore.h"

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace RefEngine {

struct HashSignature {
    enum Kind { Md5, Sha1, Sha256 } kind;
    std::vector<uint8_t> digest;
    uint64_t size;
    std::string name;
};

struct Database {
    static const size_t MaxLineLength = 4u << 20;

    SignatureStore bodies;
    std::vector<HashSignature> hashes;
    std::set<uint64_t> hashedSizes;  // only files of these sizes are hashed
    uint32_t skipped = 0;            // lines of a base that were not understood
    uint32_t overlong = 0;           // lines longer than MaxLineLength, skipped

    uint32_t Records() const { return static_cast<uint32_t>(bodies.Size() + hashes.size()); }
    // Reads every base file in the folder (*.tvb, *.ndb, *.hdb, *.hsb).
    void LoadFolder(const std::wstring& folder);
    // One base file of the given extension (".tvb", ...).
    void LoadFile(const std::wstring& path, const std::string& extension);
    // The text of a base file, already in memory.
    void LoadText(const std::string& bytes, const std::string& extension);
    // One line of a base of the given extension; false when skipped.
    bool AddLine(const std::string& extension, const std::string& line);

private:
    BodySignature scratch_;  // reused from line to line, so that its storage is too
};

// Calls line(text) for each line of the bytes (UTF-8 or UTF-16 with a byte-order mark, any line end),
// in UTF-8 and without its end; lines longer than maxLength are counted in overlong instead.
void ForEachLine(const std::function<size_t(char* buffer, size_t size)>& read, size_t maxLength,
                 const std::function<void(const std::string& line)>& line, uint32_t& overlong);

}  // namespace RefEngine
