// The base the scanning fuzz targets load once: signatures of every form the matcher knows (runs,
// wildcards, gaps, choices, boundaries, case and wide text, offsets into PE files, logical
// expressions with counts, regular expressions, containers, and the types whose objects are
// normalised or decompressed first), short ones, so that fuzzed objects meet candidates often.
#pragma once

#include "refengine/core/Scanner.h"

#include <memory>

inline const RefEngine::Engine& FuzzEngine() {
    static RefEngine::Database database;
    static std::unique_ptr<RefEngine::Engine> engine;
    if (!engine) {
        const char* const lines[][2] = {
            {".ndb", "Run:0:*:4142434445"},
            {".ndb", "Wild:0:*:41??43?4(45|46)*4748{2-6}49"},
            {".ndb", "Zeros:0:*:5a5a5a5a*000000ff"},
            {".ndb", "Choice:0:*:(4142|43)4748*(B)6869(L)"},
            {".ndb", "Negated:0:*:6d6e6f!(70|71)72[2-4]73"},
            {".ndb", "Start:0:0:4d5a"},
            {".ndb", "End:0:EOF-4:454e44"},
            {".ndb", "Entry:1:EP+0:e8????????"},
            {".ndb", "Section:1:S0+4:5051"},
            {".ndb", "InSection:1:SE0:6061626364"},
            {".ndb", "Last:1:SL+0:70717273"},
            {".ldb", "Logical;Engine:51-255,Target:0;(0&1)|2>3;6c6f67;696361::i;6c::wa"},
            {".ldb", "Counted;Engine:51-255,Target:1;0&(1>2)&2=1,1;7a7a7a7a7a7a7a7a;7a7a;797979"},
            {".ldb", "Deferred;Engine:51-255,Target:0;0&1;72617265737472696e672d7768696368;0000"},
            {".ldb", "Words;Engine:81-255,Target:0;0;776f7264::fi"},
            {".ndb", "Text:7:*:6576616c28"},
            {".ndb", "Page:3:*:3c736372697074"},
            {".ndb", "Macro:2:*:537562"},
            {".ndb", "ElfEntry:6:EP+0:31ed"},
            {".ndb", "ElfSection:6:S1+0:7f??"},
            {".ndb", "MachOSection:9:SE0:4d41"},
            {".ldb", "Pattern;Engine:81-255,Target:0;0&1;6576;0/e(v+a?)+l\\d*/gi"},
            {".ldb", "Zipped;Engine:81-255,Container:CL_TYPE_ZIP,Target:0;0;504b"},
            {".hdb", "44d88612fea8a8f36de82e1278abb02f:68:Eicar.Md5"},
            {".mdb", "512:0f343b0931126a20f133d67c2b018a3b:Section.Md5"},
        };
        for (const auto& line : lines) database.AddLine(line[0], line[1]);
        database.Seal();
        engine.reset(new RefEngine::Engine(database));
    }
    return *engine;
}
