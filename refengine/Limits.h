// Every limit of the engine in one place, each with the reason for its value. The engine reads hostile
// objects: each limit bounds the memory, time or depth one object can make it spend, and reaching one
// makes the object "not fully scanned", never clean. ArchiveLimits and Budgets carry the run-time
// set of the first two groups; their defaults are these.
#pragma once

#include <cstddef>
#include <cstdint>

namespace RefEngine {
namespace Limits {

constexpr uint64_t KiB = 1u << 10, MiB = 1u << 20, GiB = 1u << 30;

// ---- Archives and everything else that yields members (the member sink applies them to all alike)
constexpr uint64_t MemberSize = 100 * MiB;       // bytes of one member scanned whole: programs, documents, disk images
constexpr uint64_t MemberInMemory = 16 * MiB;    // of a member, held in memory; the rest waits in a temporary file
constexpr uint32_t Members = 100000;             // members of one archive: Boost's headers are 14,000; more is a listing bomb
constexpr uint32_t Ratio = 200;                  // unpacked / packed above RatioFloor: real data rarely passes 20
constexpr uint64_t RatioFloor = 1 * MiB;         // below it a member grows as it likes: small pieces of zeros pass 1000
constexpr uint64_t TotalUnpacked = 8 * GiB;      // unpacked for one object, archives in archives included: a large
                                                 // tarball's stream is one member, read to its end by its TAR reader
constexpr uint32_t TotalMembers = 1000000;       // members of one object, archives in archives included: a
                                                 // package of import libraries holds 80,000 (each .a one per function)
constexpr uint64_t Dictionary = 64 * MiB;        // memory one format may declare for unpacking (LZMA2 -mx9 uses 64)
constexpr uint64_t Dictionaries = 256 * MiB;     // of archives open in each other at once
constexpr int ArchiveDepth = 17;                 // archives in archives, as clamscan's default
constexpr size_t MaxAllocation = 256 * MiB;      // one allocation while a format reads: a larger one is a claim, not data

// ---- What formats look at, and how they read
constexpr size_t HeadBytes = 64 * KiB;           // first bytes (and first after a program's image) that formats recognise
constexpr size_t DecodeChunk = 64 * KiB;         // bytes a decoder takes or gives at a time: one read amortised, little held
constexpr uint64_t SfxSearch = 64 * KiB;         // how far after a program's image a self-extractor's archive may start
constexpr uint64_t ZipDirectory = 64 * MiB;      // a ZIP's central directory: 10,000 members with long names fit
constexpr size_t MailLine = 64 * KiB;            // a longer mail line is read in pieces of this size
constexpr size_t MailBoundaries = 32;            // multiparts open in each other
constexpr size_t MailHeaderBytes = 64 * KiB;     // of one part's headers; the rest is passed over
constexpr size_t BinHexMarkerWithin = 4 * KiB;   // BinHex's line this near the object's start: a quote further down is not one
constexpr size_t PdfHeaderWithin = 1 * KiB;      // "%PDF-" within the object's first bytes, as readers accept it
constexpr size_t PdfDictionaryWithin = 4 * KiB;  // how far before "stream" its object's dictionary is looked for
constexpr size_t PdfStreamEndWithin = 64 * MiB;  // how far after "stream" its "endstream" is looked for
constexpr size_t TnefTitle = 1024;               // an attachment's name
constexpr size_t AutoItName = 32768;             // characters of a name in a compiled script (a path's longest)
constexpr size_t InstallShieldText = 512;        // each of the four texts of a setup program's file entry
constexpr uint64_t InstallShieldHeader = 16 * MiB;  // a cabinet set's header: its file table with every name
constexpr uint64_t InstallShieldLead = 4 * KiB;  // bytes before a setup launcher's first stream
constexpr uint32_t SisLanguages = 64, SisRecords = 4096, SisNameBytes = 1024;  // far beyond any real installer

// ---- Programs: their headers, and the programs found or unpacked in objects
constexpr uint32_t PeSections = 96;              // what the system's loader accepts
constexpr uint32_t ElfSegments = 256, ElfSections = 1024, ElfEntrySize = 256;
constexpr uint32_t MachOCommands = 4096, MachOCommandBytes = 1 * MiB, MachOSections = 1024;
constexpr uint32_t EmbeddedPrograms = 16;        // programs found in one object
constexpr uint32_t EmbeddedHeaderOffset = 4096;  // where a program's PE header may lie after its "MZ"
constexpr size_t UpxHeaderWithin = 4 * KiB;      // where a UPX header lies in a packed program's first bytes
constexpr size_t UpxStubBytes = 4 * KiB;         // of a UPX stub from its entry point (LZMA's decoder takes 3 KiB): its start, its call filter's loop, its end
constexpr uint64_t Instructions = 200000000;     // interpreted for the packed programs of one object, all levels
constexpr uint64_t ProgramInstructions = 40000000;  // of one packed program: under a second interpreted
constexpr uint64_t AfterUnpacking = 4000000;     // run on once unpacked code was entered, for a packer under it
constexpr uint64_t ProgramMemory = 24 * MiB;     // beyond a packed program's image: stack, blocks, what it allocates
constexpr uint32_t ProgramImports = 4096, ProgramExceptions = 1000;

// ---- Matching (Budgets): work counted per candidate, per signature and per object
constexpr uint64_t CandidateWork = 1u << 18;     // one candidate of one signature
constexpr uint64_t SignatureWork = 1u << 24;     // all candidates of one signature in one object
constexpr uint64_t ObjectWorkBase = 1u << 26;    // one object, and as much again for each ...
constexpr uint64_t ObjectWorkPerByte = 32;       // ... byte of it: large objects earn their work
constexpr size_t MatchReadChunk = 1 * MiB;       // bytes the filter reads at a time
// Regular expressions: steps of one search (a base and some per byte it may pass), all searches of
// one pattern granted at most six times one over the whole range; counts above 64 are not told apart.
constexpr uint32_t SearchSteps = 2000000, SearchStepsPerByte = 16, PatternSearchShare = 6, PatternCount = 64;

// ---- Memory a scanning context keeps between objects (its spare buffers)
constexpr size_t SpareBuffers = 16;
constexpr size_t SpareBufferBytes = 2 * MiB;     // of one kept buffer
constexpr size_t SpareBytes = 8 * MiB;           // of all kept together

}  // namespace Limits
}  // namespace RefEngine
