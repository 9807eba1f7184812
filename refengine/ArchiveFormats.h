// The archive formats the engine knows, each made by its own module.
#pragma once

#include "refengine/Archive.h"

#include <memory>
#include <vector>

namespace RefEngine {

// ZIP, read by the engine itself; members packed by other methods than stored and deflate through 7-Zip.
std::unique_ptr<ArchiveFormat> MakeZipFormat();
// RAR 4 and 5, through libarchive.
std::unique_ptr<ArchiveFormat> MakeRarFormat();
// The formats of 7-Zip that the engine opens (7z, CAB, ARJ, CHM, compound files, CPIO, gzip, bzip2,
// xz, lzma, zstd, Z, ISO 9660, UDF, LZH, SZDD, NSIS, TAR, RPM, ar, XAR, WIM).
std::vector<std::unique_ptr<ArchiveFormat>> MakeSevenZipFormats();
// 7-Zip's own ZIP reader, for the archives whose members the engine's reader cannot unpack.
void ReadZipWithSevenZip(ByteSource& source, MemberSink& sink);

}  // namespace RefEngine
