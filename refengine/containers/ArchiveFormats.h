// What format modules share: the helpers of the modules that read programs, installers and
// documents, and the reading helpers every format may use.
#pragma once

#include "refengine/containers/Archive.h"

#include <memory>
#include <vector>

namespace RefEngine {

// A file an InstallShield setup program carries: its name, its path on the setup disk, its bytes.
struct CabinetPart {
    std::string name, path;
    uint64_t offset = 0, size = 0;
};
// The files of InstallShield's own cabinet sets among the parts (a header, "dataN.hdr" or a cabinet
// that carries its own, and its volumes "dataN.cab", ...), each a member.
void ReadInstallShieldCabinets(ByteSource& source, const std::vector<CabinetPart>& parts, MemberSink& sink);
// Whether the first bytes of a program carry a UPX header of a method the UPX module unpacks.
bool UpxUnpacks(const std::vector<uint8_t>& head);
// Whether the first bytes of a program show WWPack32's unpacking code at its entry point.
bool WwpackUnpacks(const std::vector<uint8_t>& head);
// One chunk of a VBA compressed container (its two-byte header first, size bytes in all) decompressed
// onto out; false when it is damaged.
bool DecompressVbaChunk(const uint8_t* chunk, size_t size, std::vector<uint8_t>& out);
// 7-Zip's own ZIP reader, for the archives whose members the engine's reader cannot unpack.
void ReadZipWithSevenZip(ByteSource& source, MemberSink& sink);

// The first place of the text at or after offset and before end (compared without regard to case when
// asked), or UINT64_MAX; the cost follows the bytes passed over, however many searches a format makes.
uint64_t FindText(ByteSource& source, uint64_t offset, uint64_t end, const std::string& text, bool ignoreCase = false);
// The size bytes at offset, as they stand, into the sink's open member (Unpack.cpp); false when the
// source ends first.
bool CopyInto(ByteSource& source, uint64_t offset, uint64_t size, MemberSink& sink);
// Deflated bytes (raw, or zlib-wrapped) at offset, at most packed of them, inflated into the sink's
// open member; false when they are damaged or end too soon.
bool InflateInto(ByteSource& source, uint64_t offset, uint64_t packed, MemberSink& sink, bool zlibWrapped);

}  // namespace RefEngine
