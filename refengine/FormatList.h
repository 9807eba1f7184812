// Every format the engine reads, one line each, in the order an object is offered to them: the first
// exclusive format that takes an object reads it, the others only look for what any object may carry.
// A line is the format's record:
//   id          its typed name, FormatId::id
//   reader      the module that reads it, made by Make<reader>Format(FormatId) (one module may read
//               several formats); ZipDocument: a kind of ZIP that the ZIP reader tells by its content
//   name        as reasons and `tervscan --version` give it
//   members     target types its members have by their place, beside those their bytes show
//   containers  the container types (CL_TYPE_...) that "Container:" signatures name it by
//   extensions  the names files of the format are given, which the scans of dangerous types look into
// Adding a format: its module in formats/ or unpackers/, and its line here. No include guard: the
// includer defines TERVAN_FORMAT(id, reader, name, members, containers, extensions) for each use.

TERVAN_FORMAT(Zip, Zip, "ZIP", 0, "CL_TYPE_ZIP", ".zip.apk.xpi.odt.ods.odp.epub")
TERVAN_FORMAT(OoxmlWord, ZipDocument, "OOXML Word", 0, "CL_TYPE_OOXML_WORD", ".docx.docm.dotx.dotm")
TERVAN_FORMAT(OoxmlXl, ZipDocument, "OOXML XL", 0, "CL_TYPE_OOXML_XL", ".xlsx")
TERVAN_FORMAT(OoxmlPpt, ZipDocument, "OOXML PPT", 0, "CL_TYPE_OOXML_PPT", ".pptx.pptm.potx.potm")
TERVAN_FORMAT(Rar, Rar, "RAR", 0, "CL_TYPE_RAR", ".rar")
TERVAN_FORMAT(InstallShield, InstallShield, "InstallShield", 0, "", "")
TERVAN_FORMAT(InstallShieldStreams, InstallShieldStreams, "InstallShield streams", 0, "", "")
TERVAN_FORMAT(AutoIt, AutoIt, "AutoIt", 0, "CL_TYPE_AUTOIT", "")
TERVAN_FORMAT(Upx, Upx, "UPX", 0, "", "")
TERVAN_FORMAT(UpxElf, UpxElf, "UPX ELF", 0, "", "")
TERVAN_FORMAT(WWPack, WWPack, "WWPack", 0, "", "")
TERVAN_FORMAT(Sis, Sis, "SIS", 0, "", ".sis")
TERVAN_FORMAT(Flash, Flash, "Flash", 0, "", ".swf")
TERVAN_FORMAT(PowerPoint, PowerPoint, "PowerPoint", 0, "", ".ppt.pps.pot")
TERVAN_FORMAT(OlePackage, OlePackage, "OLE package", 0, "", "")
TERVAN_FORMAT(Vba, Vba, "VBA", TargetBit(Ole2Target), "", "")
TERVAN_FORMAT(Mail, Mail, "mail", 0, "CL_TYPE_MAIL", ".eml.msg.mbox.mbx")
TERVAN_FORMAT(BinHex, BinHex, "BinHex", 0, "CL_TYPE_BINHEX", ".hqx")
TERVAN_FORMAT(Tnef, Tnef, "TNEF", 0, "CL_TYPE_TNEF", "")
TERVAN_FORMAT(Pdf, Pdf, "PDF", 0, "CL_TYPE_PDF", ".pdf")
TERVAN_FORMAT(Rtf, Rtf, "RTF", 0, "CL_TYPE_RTF", ".rtf")
TERVAN_FORMAT(Html, Html, "HTML", 0, "CL_TYPE_HTML", ".htm.html.hta.mht.mhtml")
TERVAN_FORMAT(SevenZip, SevenZip, "7z", 0, "CL_TYPE_7Z", ".7z")
TERVAN_FORMAT(Cab, SevenZip, "CAB", 0, "CL_TYPE_MSCAB", ".cab")
TERVAN_FORMAT(Arj, SevenZip, "ARJ", 0, "CL_TYPE_ARJ", ".arj")
TERVAN_FORMAT(Chm, SevenZip, "CHM", 0, "CL_TYPE_MSCHM", ".chm")
TERVAN_FORMAT(CompoundFile, SevenZip, "compound file", TargetBit(Ole2Target), "CL_TYPE_MSOLE2", ".doc.dot.xls.msi.msp.msg")
TERVAN_FORMAT(Cpio, SevenZip, "CPIO", 0, "CL_TYPE_CPIO_OLD CL_TYPE_CPIO_ODC CL_TYPE_CPIO_NEWC CL_TYPE_CPIO_CRC", ".cpio")
// Before the compressed streams: LZMA has no signature, and a TAR's first bytes may pass for its header.
TERVAN_FORMAT(Tar, SevenZip, "TAR", 0, "CL_TYPE_POSIX_TAR CL_TYPE_OLD_TAR", ".tar")
TERVAN_FORMAT(Gzip, SevenZip, "gzip", 0, "CL_TYPE_GZ", ".gz.tgz")
TERVAN_FORMAT(Bzip2, SevenZip, "bzip2", 0, "CL_TYPE_BZ", ".bz2.tbz.tbz2")
TERVAN_FORMAT(Xz, SevenZip, "xz", 0, "CL_TYPE_XZ", ".xz.txz")
TERVAN_FORMAT(Lzma, SevenZip, "lzma", 0, "", ".lzma.tlz")
TERVAN_FORMAT(Zstd, SevenZip, "zstd", 0, "", ".zst.tzst")
TERVAN_FORMAT(Z, SevenZip, "Z", 0, "", ".z.taz")
TERVAN_FORMAT(Iso9660, SevenZip, "ISO 9660", 0, "CL_TYPE_ISO9660", ".iso.img")
TERVAN_FORMAT(Udf, SevenZip, "UDF", 0, "CL_TYPE_UDF", ".udf")
TERVAN_FORMAT(Lzh, SevenZip, "LZH", 0, "", ".lzh.lha")
TERVAN_FORMAT(Szdd, SevenZip, "SZDD", 0, "CL_TYPE_MSSZDD", ".ex_.dl_.sy_")
TERVAN_FORMAT(Nsis, SevenZip, "NSIS", 0, "CL_TYPE_NULSFT", "")
TERVAN_FORMAT(Rpm, SevenZip, "RPM", 0, "", ".rpm")
TERVAN_FORMAT(Ar, SevenZip, "ar", 0, "", ".deb")
TERVAN_FORMAT(Xar, SevenZip, "XAR", 0, "CL_TYPE_XAR", ".xar.pkg")
TERVAN_FORMAT(Wim, SevenZip, "WIM", 0, "", ".wim")
TERVAN_FORMAT(PackedProgram, PackedProgram, "packed program", 0, "", "")
TERVAN_FORMAT(EmbeddedPrograms, EmbeddedPrograms, "embedded program", 0, "", "")
