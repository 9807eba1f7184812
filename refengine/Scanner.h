// Scanning one object against the database: body signatures through the anchor automaton and a check
// of each candidate, hashes for files of a hashed size, and the members of ZIP archives.
#pragma once

#include "refengine/Automaton.h"
#include "refengine/Database.h"
#include "refengine/Source.h"
#include "refengine/Zip.h"

#include <functional>
#include <string>

namespace RefEngine {

struct Detection {
    bool found = false;
    std::string name;
    bool curable = false;      // a signature that says how to cure, matched in the file itself
    uint64_t matchStart = 0;   // where the matched body begins
};

class Engine {
public:
    static const int MaxArchiveDepth = 3;

    explicit Engine(const Database& database);

    // The member callback gets each archive member's name (archive path, backslash, member) and its
    // detection. stop is polled between blocks and members; a stopped scan reports nothing.
    typedef std::function<void(const std::wstring& object, const Detection& detection)> MemberCallback;
    Detection Scan(ByteSource& source, const std::wstring& objectName, const volatile long* stop,
                   const MemberCallback& member, int depth = 0) const;

    const Database& Data() const { return database_; }

private:
    bool Verify(const BodySignature& sig, ByteSource& source, uint64_t anchorStart, uint64_t& matchStart,
                uint64_t& budget) const;

    const Database& database_;
    Automaton automaton_;
    ZipLimits limits_;
};

}  // namespace RefEngine
