// The archive formats the engine knows, each made by its own module.
#pragma once

#include "refengine/Archive.h"

#include <memory>
#include <vector>

namespace RefEngine {

// Programs stored inside a program or another object as they stand.
std::unique_ptr<ArchiveFormat> MakeEmbeddedProgramsFormat();
// ZIP, read by the engine itself; members packed by other methods than stored and deflate through 7-Zip.
std::unique_ptr<ArchiveFormat> MakeZipFormat();
// RAR 4 and 5, through libarchive.
std::unique_ptr<ArchiveFormat> MakeRarFormat();
// The formats of 7-Zip that the engine opens (7z, CAB, ARJ, CHM, compound files, CPIO, gzip, bzip2,
// xz, lzma, zstd, Z, ISO 9660, UDF, LZH, SZDD, NSIS, TAR, RPM, ar, XAR, WIM).
std::vector<std::unique_ptr<ArchiveFormat>> MakeSevenZipFormats();
// The files an InstallShield setup program carries after its image.
std::unique_ptr<ArchiveFormat> MakeInstallShieldFormat();
// The files an InstallShield setup launcher streams after its image (its MSI package among them),
// deciphered and inflated.
std::unique_ptr<ArchiveFormat> MakeInstallShieldStreamsFormat();
// A file an InstallShield setup program carries: its name, its path on the setup disk, its bytes.
struct CabinetPart {
    std::string name, path;
    uint64_t offset = 0, size = 0;
};
// The files of InstallShield's own cabinet sets among the parts (a header, "dataN.hdr" or a cabinet
// that carries its own, and its volumes "dataN.cab", ...), each a member.
void ReadInstallShieldCabinets(ByteSource& source, const std::vector<CabinetPart>& parts, MemberSink& sink);
// The script and the files a compiled AutoIt script carries (versions EA05 and EA06).
std::unique_ptr<ArchiveFormat> MakeAutoItFormat();
// The image of a program packed by UPX (32-bit Windows, methods NRV2B, NRV2D, NRV2E).
std::unique_ptr<ArchiveFormat> MakeUpxFormat();
// Whether the first bytes of a program carry a UPX header of a method the UPX module unpacks.
bool UpxUnpacks(const std::vector<uint8_t>& head);
// The image of a program packed by WWPack32, its packed sections unpacked (without running its code).
std::unique_ptr<ArchiveFormat> MakeWWPackFormat();
// Whether the first bytes of a program show WWPack32's unpacking code at its entry point.
bool WwpackUnpacks(const std::vector<uint8_t>& head);
// The image of a program packed by any packer, as its unpacking code leaves it when run in an
// interpreter (32-bit Windows programs whose entry point lies where they may write).
std::unique_ptr<ArchiveFormat> MakePackedProgramFormat();
// The files of a Symbian installation file (SIS, before Symbian 9).
std::unique_ptr<ArchiveFormat> MakeSisFormat();
// The movie of a compressed Flash file (zlib or LZMA), as an uncompressed one.
std::unique_ptr<ArchiveFormat> MakeFlashFormat();
// The objects embedded in a PowerPoint document's slides, from its "PowerPoint Document" stream.
std::unique_ptr<ArchiveFormat> MakePowerPointFormat();
// The file an OLE package (a file embedded in a document) holds, from its "\1Ole10Native" stream.
std::unique_ptr<ArchiveFormat> MakeOlePackageFormat();
// The source of a VBA macro module, decompressed from its stream of a document's compound file.
std::unique_ptr<ArchiveFormat> MakeVbaFormat();
// One chunk of a VBA compressed container (its two-byte header first, size bytes in all) decompressed
// onto out; false when it is damaged.
bool DecompressVbaChunk(const uint8_t* chunk, size_t size, std::vector<uint8_t>& out);
// Attachments of mail and mailboxes: MIME parts in base64 or quoted-printable, uuencoded files.
std::unique_ptr<ArchiveFormat> MakeMailFormat();
// The streams of a PDF: inflated (FlateDecode), and embedded files as they stand.
std::unique_ptr<ArchiveFormat> MakePdfFormat();
// The files an HTML page carries as data: addresses.
std::unique_ptr<ArchiveFormat> MakeHtmlFormat();
// The objects an RTF document embeds (a packaged file handed on as an OLE package).
std::unique_ptr<ArchiveFormat> MakeRtfFormat();
// The attachments of a TNEF file (winmail.dat).
std::unique_ptr<ArchiveFormat> MakeTnefFormat();
// The forks of a BinHex 4.0 file.
std::unique_ptr<ArchiveFormat> MakeBinHexFormat();
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
