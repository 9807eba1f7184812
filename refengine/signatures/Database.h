// The signatures of the reference engine and the readers of its base formats:
//   .tvb  its own:  Name|Offset|HexSignature|Cure        (Cure: none or truncate)
//   .ndb  body signatures: Name:TargetType:Offset:HexSignature[:MinFL[:MaxFL]]
//   .hdb  MD5:Size:Name      .hsb  SHA-1 or SHA-256:Size:Name    (Size may be *)
//   .mdb  Size:MD5:Name      .msb  Size:SHA-1 or SHA-256:Name    (sections of PE files)
//   .fp   as .hdb            .sfp  as .hsb                       (allowed files)
//   .ign  Base:Line:Name     .ign2 Name[:Digest]                 (signatures dropped)
//   .ldb  logical signatures (see LogicalSignature.h)
//   .cvd, .cld, .cud  containers of the above (see Container.h)
// Lines outside what is understood are skipped and counted. Base files may be UTF-8 (with or without a
// byte-order mark) or UTF-16 with one, with LF, CRLF or CR line ends; an overlong line is skipped and
// counted, and reading goes on.
#pragma once

#include "refengine/signatures/HashStore.h"
#include "refengine/signatures/LogicalSignature.h"
#include "refengine/signatures/Signature.h"
#include "refengine/signatures/SignatureStore.h"
#include "refengine/object/Source.h"

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <string>
#include <string_view>
#include <vector>

namespace RefEngine {

// What the engine declares of itself against the functionality-level fields of signatures.
const uint32_t FunctionalityLevel = 216;

struct Database {
    static const size_t MaxLineLength = 4u << 20;

    SignatureStore bodies;  // .tvb, .ndb, and the subsignatures of .ldb
    HashSet fileHashes;     // .hdb, .hsb: digests of whole objects
    HashSet sectionHashes;  // .mdb, .msb: digests of the sections of PE files
    HashSet allowed;        // .fp, .sfp: objects with these digests are clean
    std::vector<LogicalSignature> logical;  // .ldb
    std::vector<PatternSubsignature> patterns;  // their regular expressions, each signature's together
    // A body signature -> its logical signature and its index there (NotSubsignature for the others).
    // Empty until the first logical signature is read; OwnerOf answers for any body.
    static const uint32_t NotSubsignature = (1u << 26) - 1;
    struct Owner {
        uint32_t logical : 26, index : 6;
        Owner() : logical(NotSubsignature), index(0) {}
        Owner(uint32_t l, uint32_t i) : logical(l), index(i) {}
    };
    std::vector<Owner> subsignatureOf;
    Owner OwnerOf(uint32_t body) const { return body < subsignatureOf.size() ? subsignatureOf[body] : Owner(); }
    std::unordered_set<std::string> ignored;  // .ign, .ign2: names of signatures that are dropped
    uint16_t targetTypes = 0;  // TargetBit of each target type some body signature is for
    bool includePua = false;                  // .ndu, .ldu, .hdu, ... are read only when asked
    uint32_t skipped = 0;            // lines of a base that were not understood
    uint32_t overlong = 0;           // lines longer than MaxLineLength, skipped
    std::map<std::string, uint32_t> loaded;        // records, by the type of the base they came from
    std::map<std::string, uint32_t> skippedLines;  // lines skipped, by the type of their base, and by type and reason
    std::map<std::string, uint32_t> skippedFiles;  // whole bases (or container members) not read, by type
    std::vector<std::string> skippedNames;         // "type name: reason" of each line skipped for a reason (the first MaxSkippedNames)
    static const size_t MaxSkippedNames = 100000;
    std::vector<std::string> notices;              // what a container said of itself, or why it was refused

    uint32_t Records() const;
    const char* HashName(int64_t name) const { return hashNames_.c_str() + name; }
    // Reads every base file in the folder (text bases and .cvd/.cld/.cud containers), then Seal().
    void LoadFolder(const std::wstring& folder);
    // One base file of the given extension (".tvb", ".cvd", ...).
    void LoadFile(const std::wstring& path, const std::string& extension);
    // The text of a base file, already in memory.
    void LoadText(const std::string& bytes, const std::string& extension);
    // Text of a base of the given type, read piece by piece (read returns 0 at the end).
    void LoadStream(const std::function<size_t(char* buffer, size_t size)>& read, const std::string& extension);
    // True for the types of text bases that are read (PUA ones only when asked).
    bool Reads(const std::string& extension) const;
    // One line of a base of the given extension; false when skipped.
    bool AddLine(const std::string& extension, const std::string& line);
    // Once every base is read: hash lists sorted, ignored signatures dropped. Scanning needs it.
    void Seal();
    // A line skipped for a reason: counted by type and reason, and named.
    void NoteSkipped(const std::string& extension, std::string_view line, const std::string& reason);
    // One line per type: what was loaded and what was skipped.
    std::string Summary() const;

private:
public:
    // A .cvd, .cld or .cud container: its header and checksum checked, then every base inside it read;
    // a container that fails a check adds nothing, and a notice says why.
    void LoadContainer(ByteSource& source, const std::string& extension, const std::string& fileName);
    // The version a container's header gives; 0 when it cannot be read.
    static uint64_t ContainerVersion(const std::wstring& path);

private:
    uint32_t AddHashName(const std::string& name);
    bool AddLogical(const std::string& line);
    // A body signature of a base of that type; false (and counted) when the store cannot hold it.
    bool AddBody(const std::string& extension, const BodySignature& sig);
    bool AddHash(HashSet& set, std::string_view digest, std::string_view size, std::string_view name,
                 std::string_view minLevel, bool md5, bool sha);

    BodySignature scratch_;  // reused from line to line, so that its storage is too
    std::string hashNames_;
};

// Calls line(text) for each line of the bytes (UTF-8 or UTF-16 with a byte-order mark, any line end),
// in UTF-8 and without its end; lines longer than maxLength are counted in overlong instead.
void ForEachLine(const std::function<size_t(char* buffer, size_t size)>& read, size_t maxLength,
                 const std::function<void(const std::string& line)>& line, uint32_t& overlong);

}  // namespace RefEngine
