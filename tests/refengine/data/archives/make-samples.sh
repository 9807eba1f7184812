#!/usr/bin/env bash
# Makes the archive samples of the engine's tests with Debian's own tools, into this folder. Each holds
# sample.txt, whose text begins "TERVAN-ARCHIVE-SAMPLE"; names say what else a sample tests. The RAR
# samples come from libarchive's own test data (RAR cannot be written with free tools).
#   tests/refengine/data/archives/make-samples.sh
# Needs: python3 (with its email package), 7zz (7zip), arj, gcab, genisoimage, cpio, makensis (nsis), zstd, compress
# (ncompress), mscompress, msibuild (msitools), ar (binutils), lha (jlha-utils), chmcmd (fp-utils), rpmbuild (rpm);
# libarchive's source in /var/cache/tervan/src.
set -euo pipefail
out=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
printf 'TERVAN-ARCHIVE-SAMPLE: a harmless text that the tests look for inside archives\n' >sample.txt
rm -f "$out"/*.bin

python3 - "$out" <<'EOF'
import bz2, gzip, io, lzma, os, sys, tarfile, zipfile
out = sys.argv[1]
text = open("sample.txt", "rb").read()
def save(name, data):
    open(os.path.join(out, name + ".bin"), "wb").write(data)
for method, name in ((zipfile.ZIP_BZIP2, "zip-bzip2"), (zipfile.ZIP_LZMA, "zip-lzma")):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", method) as z:
        z.writestr("sample.txt", text)
    save(name, buffer.getvalue())
for fmt, name in ((tarfile.USTAR_FORMAT, "tar-ustar"), (tarfile.GNU_FORMAT, "tar-gnu"), (tarfile.PAX_FORMAT, "tar-pax")):
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=fmt) as t:
        info = tarfile.TarInfo("folder/sample.txt")
        info.size = len(text)
        t.addfile(info, io.BytesIO(text))
    save(name, buffer.getvalue())
tar = open(os.path.join(out, "tar-pax.bin"), "rb").read()
save("tar-gz", gzip.compress(tar, mtime=0))
save("tar-bz2", bz2.compress(tar))
save("tar-xz", lzma.compress(tar))
save("gz", gzip.compress(text, mtime=0))
save("bz2", bz2.compress(text))
save("xz", lzma.compress(text))
save("lzma", lzma.compress(text, format=lzma.FORMAT_ALONE))
EOF

7zz a -bd -t7z 7z.7z sample.txt >/dev/null && mv 7z.7z "$out/7z.bin"
7zz a -bd -t7z -pSecret 7z-encrypted.7z sample.txt >/dev/null && mv 7z-encrypted.7z "$out/7z-encrypted.bin"
7zz a -bd -t7z -pSecret -mhe=on 7z-encrypted-listing.7z sample.txt >/dev/null && mv 7z-encrypted-listing.7z "$out/7z-encrypted-listing.bin"
7zz a -bd -tzip -mm=Deflate64 zip.zip sample.txt >/dev/null && mv zip.zip "$out/zip-deflate64.bin"
7zz a -bd -tzip -mm=PPMd zip.zip sample.txt >/dev/null && mv zip.zip "$out/zip-ppmd.bin"
7zz a -bd -twim wim.wim sample.txt >/dev/null && mv wim.wim "$out/wim.bin"
# A 7z whose member is 64 MiB of zeros and the text: more than a member may unpack.
head -c $((64 << 20)) /dev/zero >big.bin && cat sample.txt >>big.bin
7zz a -bd -t7z bomb.7z big.bin >/dev/null && mv bomb.7z "$out/7z-bomb.bin"
rm big.bin
zstd -q sample.txt -o "$out/zst.bin"
compress -c sample.txt >"$out/z.bin"
for format in newc odc bin; do echo sample.txt | cpio -o -H "$format" --quiet >"$out/cpio-$format.bin"; done
# ISO 9660 images are large: this one is gzipped (an archive in an archive).
mkdir iso && cp sample.txt iso/ && genisoimage -quiet -o iso.iso iso 2>/dev/null && gzip -9n -c iso.iso >"$out/iso-gz.bin"
gcab -c "$out/cab.bin" sample.txt
gcab -z -c "$out/cab-mszip.bin" sample.txt
arj a -i -y arj.arj sample.txt >/dev/null && mv arj.arj "$out/arj.bin"
mscompress sample.txt && mv sample.txt_ "$out/szdd.bin"
ar rc ar.a sample.txt && mv ar.a "$out/ar.bin"
msibuild compound.msi -a Sample sample.txt && mv compound.msi "$out/compound-msi.bin"
cat >installer.nsi <<'EOF'
OutFile "installer.exe"
Section
SetOutPath $TEMP
File sample.txt
SectionEnd
EOF
makensis -V0 installer.nsi && mv installer.exe "$out/nsis.bin"
lha a lzh.lzh sample.txt >/dev/null && mv lzh.lzh "$out/lzh.bin"
mkdir chm && cp sample.txt chm/ && printf '[OPTIONS]\nCompiled file=chm.chm\nDefault topic=sample.txt\n[FILES]\nsample.txt\n' >chm/sample.hhp
(cd chm && chmcmd sample.hhp >/dev/null) && mv chm/chm.chm "$out/chm.bin"
# An RPM package whose payload (a gzipped cpio) holds folder/sample.txt, built from a recipe of ours.
mkdir -p rpm/SOURCES && cp sample.txt rpm/SOURCES/
printf '%s\n' 'Name: sample' 'Version: 1' 'Release: 1' 'Summary: sample' 'License: none' 'BuildArch: noarch' 'Source0: sample.txt' \
    '%description' 'sample' '%install' 'mkdir -p %{buildroot}/folder' 'cp %{SOURCE0} %{buildroot}/folder/sample.txt' '%files' \
    '/folder/sample.txt' >rpm/package.recipe
rpmbuild --define "_topdir $PWD/rpm" --define '_binary_payload w9.gzdio' -bb rpm/package.recipe >/dev/null 2>&1
mv rpm/RPMS/noarch/sample-1-1.noarch.rpm "$out/rpm.bin"
# A UDF image without its ISO 9660 descriptors (so that only the UDF reader takes it): its own volume
# recognition sequence moved to where the first descriptor was; gzipped.
mkdir udf && cp sample.txt udf/ && genisoimage -quiet -udf -o udf.iso udf 2>/dev/null
python3 - <<'PY'
image = bytearray(open("udf.iso", "rb").read())
area = range(0x8000, 0x8000 + 16 * 2048, 2048)
own = [bytes(image[at:at + 2048]) for at in area if image[at + 1:at + 6] in (b"BEA01", b"NSR02", b"NSR03", b"TEA01")]
for i, at in enumerate(area):
    image[at:at + 2048] = own[i] if i < len(own) else bytes(2048)
open("udf.iso", "wb").write(image)
PY
gzip -9n -c udf.iso >"$out/udf-gz.bin"
# A XAR archive (no free tool writes one): header, zlib-compressed table of contents with its SHA-1,
# then the member, zlib-compressed.
python3 - "$out" <<'PY'
import hashlib, os, struct, sys, zlib
text = open("sample.txt", "rb").read()
data = zlib.compress(text, 9)
toc = ('<?xml version="1.0" encoding="UTF-8"?>\n<xar>\n <toc>\n'
       '  <checksum style="sha1"><offset>0</offset><size>20</size></checksum>\n  <file id="1">\n   <data>\n'
       f'    <length>{len(data)}</length>\n    <offset>20</offset>\n    <size>{len(text)}</size>\n'
       '    <encoding style="application/x-gzip"/>\n'
       f'    <archived-checksum style="sha1">{hashlib.sha1(data).hexdigest()}</archived-checksum>\n'
       f'    <extracted-checksum style="sha1">{hashlib.sha1(text).hexdigest()}</extracted-checksum>\n'
       '   </data>\n   <name>sample.txt</name>\n   <type>file</type>\n  </file>\n </toc>\n</xar>\n').encode()
packed = zlib.compress(toc, 9)
header = b"xar!" + struct.pack(">HHQQI", 28, 1, len(packed), len(toc), 1)
open(os.path.join(sys.argv[1], "xar.bin"), "wb").write(header + packed + hashlib.sha1(packed).digest() + data)
PY
# A 7z cut short (its text compressed, so that it does not lie open in the bytes left): its listing at
# its end is gone.
for i in $(seq 200); do cat sample.txt; done >repeated.txt
7zz a -bd -t7z long.7z repeated.txt >/dev/null && head -c 100 long.7z >"$out/7z-truncated.bin"

# Mail (a base64 attachment, and a uuencoded file in a mailbox) and BinHex 4.0.
python3 - "$out" <<'EOF'
import binascii, os, sys
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
out = sys.argv[1]
text = open("sample.txt", "rb").read()
def save(name, data):
    open(os.path.join(out, name + ".bin"), "wb").write(data)
message = MIMEMultipart()
message["From"] = "tests@example.com"
message["Subject"] = "sample"
message.attach(MIMEText("see the attachment"))
message.attach(MIMEApplication(text, Name="sample.txt"))
save("mail-base64", message.as_bytes())
uu = b"".join(binascii.b2a_uu(text[i:i + 45]) for i in range(0, len(text), 45))
save("mail-uuencode", b"From tests@example.com Mon Jan  1 00:00:00 2024\nFrom: tests@example.com\nSubject: uu\n\n"
     b"begin 644 sample.txt\n" + uu + b"`\nend\n")
# BinHex 4.0: header, data fork, empty resource fork, each with its CRC; 0x90 escaped; six bits a character.
name = b"sample.txt"
header = bytes([len(name)]) + name + b"\0" + b"TEXTttxt" + b"\0\0" + len(text).to_bytes(4, "big") + (0).to_bytes(4, "big")
body = b""
for part in (header, text, b""):
    body += part + binascii.crc_hqx(part + b"\0\0", 0).to_bytes(2, "big")
body = body.replace(b"\x90", b"\x90\x00")
alphabet = b"!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr"
bits = int.from_bytes(body, "big") << ((6 - len(body) * 8 % 6) % 6)
count = (len(body) * 8 + 5) // 6
chars = bytes(alphabet[(bits >> (6 * (count - 1 - i))) & 63] for i in range(count))
lines = b"\n".join(chars[i:i + 64] for i in range(0, len(chars), 64))
save("binhex", b"(This file must be converted with BinHex 4.0)\n:" + lines + b":\n")
EOF

# A PDF whose page content is deflated, and a TNEF (winmail.dat) with one attachment.
python3 - "$out" <<'EOF'
import os, struct, sys, zlib
out = sys.argv[1]
text = open("sample.txt", "rb").read()
def save(name, data):
    open(os.path.join(out, name + ".bin"), "wb").write(data)
packed = zlib.compress(text)
save("pdf", b"%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n"
     b"2 0 obj\n<< /Length " + str(len(packed)).encode() + b" /Filter /FlateDecode >>\nstream\n" + packed +
     b"\nendstream\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n")
def attribute(level, ident, data):
    return bytes([level]) + struct.pack("<II", ident, len(data)) + data + struct.pack("<H", sum(data) & 0xFFFF)
save("tnef", struct.pack("<IH", 0x223E9F78, 1) + attribute(1, 0x00089006, b"\0\0\1\0") +
     attribute(2, 0x00069002, b"\1\0\xff\xff\xff\xff\0\0\0\0\0\0") + attribute(2, 0x00018010, b"sample.txt\0") +
     attribute(2, 0x0006800F, text))
EOF

# An RTF document with the sample embedded as a packaged file (an OLE 1.0 object in hexadecimal).
python3 - "$out" <<'EOF'
import os, struct, sys
out = sys.argv[1]
text = open("sample.txt", "rb").read()
def name(value):
    return struct.pack("<I", len(value)) + value
temporary = b"C:\\Temp\\sample.txt\0"
native = (struct.pack("<H", 2) + b"sample.txt\0" + b"C:\\sample.txt\0" + struct.pack("<HH", 0, 3) +
          struct.pack("<I", len(temporary)) + temporary + struct.pack("<I", len(text)) + text)
ole = struct.pack("<II", 0x0501, 2) + name(b"Package\0") + name(b"") + name(b"") + struct.pack("<I", len(native)) + native
hexed = ole.hex()
lines = "\n".join(hexed[i:i + 64] for i in range(0, len(hexed), 64))
open(os.path.join(out, "rtf.bin"), "wb").write(
    ("{\\rtf1\\ansi{\\object\\objemb{\\*\\objclass Package}{\\*\\objdata\n" + lines + "\n}}}\n").encode())
EOF

# An HTML page that carries the sample as data: addresses, in base64 and escaped with %XX.
python3 - "$out" <<'EOF'
import base64, os, sys
out = sys.argv[1]
text = open("sample.txt", "rb").read()
page = ('<!DOCTYPE html>\n<html><body>\n<a href="data:text/plain;charset=utf-8,' + ''.join('%%%02X' % b for b in text) +
        '">escaped</a>\n<a href="data:application/octet-stream;base64,' + base64.b64encode(text).decode() + '">x</a>\n</body></html>\n')
open(os.path.join(out, "html.bin"), "wb").write(page.encode())
EOF

# A macro module's stream in a compound file: compiled code, then the source in the compressed
# container of VBA projects (copies of earlier bytes where they repeat, so the sample is split).
python3 - <<'EOF'
import struct
text = open("sample.txt", "rb").read().strip()
source = (b'Attribute VB_Name = "Module1"\r\nSub AutoOpen()\r\n    MsgBox "' + text + b'"\r\n    MsgBox "' + text +
          b'"\r\nEnd Sub\r\n')
def compress(data):
    out = bytearray(b"\x01")
    for start in range(0, len(data), 4096):
        chunk, body, pos = data[start:start + 4096], bytearray(), 0
        while pos < len(chunk):
            flags, flag_at = 0, len(body)
            body.append(0)
            for bit in range(8):
                if pos >= len(chunk):
                    break
                bits = 4
                while (1 << bits) < pos:
                    bits += 1
                best, offset = 0, 0
                for candidate in range(pos - 1, -1, -1):
                    n = 0
                    while pos + n < len(chunk) and n < (0xFFFF >> bits) + 3 and chunk[candidate + n] == chunk[pos + n]:
                        n += 1
                    if n > best:
                        best, offset = n, pos - candidate
                if best >= 3:
                    flags |= 1 << bit
                    body += struct.pack("<H", ((offset - 1) << (16 - bits)) | (best - 3))
                    pos += best
                else:
                    body.append(chunk[pos])
                    pos += 1
            body[flag_at] = flags
        out += struct.pack("<H", (len(body) - 1) | 0xB000) + body
    return bytes(out)
open("Module1", "wb").write(bytes(range(1, 200)) + compress(source))
EOF
msibuild compound-vba.msi -a Module1 Module1 && mv compound-vba.msi "$out/compound-vba.bin"

# The headers of a small 32-bit program, for the samples that are programs: its sections, each
# (name, characteristics, whether it holds data in the file) a page in memory, the one that holds data
# with its 0x200 bytes at offset 0x200, the entry point at the start of the last; then any extra bytes,
# all padded to 0x200.
cat >pe.py <<'EOF'
import struct
def program_headers(sections, extra=b""):
    count = len(sections)
    dos = b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40)
    header = b"PE\0\0" + struct.pack("<HHIIIHH", 0x14C, count, 0, 0, 0, 0xE0, 0x102)
    optional = struct.pack("<HBBIIIIIIIIIHHHHHHIIIIHHIIIIII", 0x10B, 1, 0, 0x200, 0, 0, 0x1000 * count, 0x1000, 0x1000,
                           0x400000, 0x1000, 0x200, 4, 0, 0, 0, 4, 0, 0, 0x1000 * (count + 1), 0x200, 0, 2, 0, 0x100000,
                           0x1000, 0x100000, 0x1000, 0, 16) + bytes(16 * 8)
    table = b"".join(name.ljust(8, b"\0") + struct.pack("<IIIIIIHHI", 0x1000, 0x1000 * (i + 1), 0x200 if data else 0,
                                                         0x200 if data else 0, 0, 0, 0, 0, characteristics)
                     for i, (name, characteristics, data) in enumerate(sections))
    return (dos + header + optional + table + extra).ljust(0x200, b"\0")
EOF

# An InstallShield setup program: a small program image, then its files, each behind its name, path,
# version and size.
python3 - "$out" <<'EOF'
import os, struct, sys
from pe import program_headers
text = open("sample.txt", "rb").read()
image = program_headers([(b".text", 0x60000020, True)]) + b"\xC3".ljust(0x200, b"\0")
files = b""
for name, data in ((b"readme.txt", b"Read me first.\r\n"), (b"sample.txt", text)):
    files += name + b"\0Disk1\\" + name + b"\0" + b"0.0.0.0\0" + str(len(data)).encode() + b"\0" + data
open(os.path.join(sys.argv[1], "installshield.bin"), "wb").write(image + files)
EOF

# An InstallShield setup program whose files are a cabinet set of InstallShield's own: data1.hdr lists
# the files, data1.cab holds them. sample.txt is deflated in two pieces; an empty file listed where it
# begins, an entry linked to it (the same bytes), one kept beside the cabinets (at offset 0) and one
# obfuscated (not unpacked) are listed too.
python3 - "$out" <<'EOF'
import os, struct, sys, zlib
from pe import program_headers
text = open("sample.txt", "rb").read()
def deflate(data):
    packer = zlib.compressobj(9, zlib.DEFLATED, -15)
    return packer.compress(data) + packer.flush()
half = len(text) // 2
pieces = b"".join(struct.pack("<H", len(p)) + p for p in (deflate(text[:half]), deflate(text[half:])))
secret = b"\x07" * 40
version = 0x01009500
cab = (b"ISc(" + struct.pack("<4I", version, 0, 0x200, 0)).ljust(0x200, b"\0") + pieces + secret
directories, names = [b"", b"folder"], [b"empty.dll", b"sample.txt", b"linked.txt", b"setup.ini", b"secret.bin"]
# flags (4 compressed, 2 obfuscated), size, packed size, offset in the volume, folder, volume
files = [(4, 0, 0, 0x200, 0, 1), (4, len(text), len(pieces), 0x200, 1, 1), (4, len(text), len(pieces), 0x200, 1, 1),
         (0, 10, 10, 0, 0, 1), (6, 40, 40, 0x200 + len(pieces), 0, 1)]
entries_at = 4 * len(directories)
offsets, at = [], entries_at + 0x57 * len(files)
for name in directories + names:
    offsets.append(at)
    at += len(name) + 1
table = b"".join(struct.pack("<I", o) for o in offsets[:len(directories)])
for i, (flags, expanded, packed, offset, folder, volume) in enumerate(files):
    entry = bytearray(0x57)
    struct.pack_into("<HQQQ", entry, 0, flags, expanded, packed, offset)
    struct.pack_into("<IH", entry, 0x3A, offsets[len(directories) + i], folder)
    struct.pack_into("<H", entry, 0x55, volume)
    table += bytes(entry)
table += b"".join(name + b"\0" for name in directories + names)
descriptor = struct.pack("<12I", 0, 0, 0, 0x100, 0, len(table), len(table), len(directories), 0, 0, len(files), entries_at)
hdr = (b"ISc(" + struct.pack("<4I", version, 0, 0x200, 0x100 + len(table))).ljust(0x200, b"\0") + descriptor.ljust(0x100, b"\0") + table
image = program_headers([(b".text", 0x60000020, True)]) + b"\xC3".ljust(0x200, b"\0")
overlay = b""
for name, data in ((b"data1.cab", cab), (b"data1.hdr", hdr)):
    overlay += name + b"\0Disk1\\" + name + b"\0" + b"0.0.0.0\0" + str(len(data)).encode() + b"\0" + data
open(os.path.join(sys.argv[1], "installshield-cab.bin"), "wb").write(image + overlay)
EOF

# An InstallShield setup launcher streaming its files after its image (behind its debug record):
# sample.txt, after 3,000 bytes that do not compress, zlib-compressed and enciphered with the key of
# its name (the key starts again at every 1,024 bytes); a second file of a kind not known.
python3 - "$out" <<'EOF'
import os, random, struct, sys, zlib
from pe import program_headers
text = open("sample.txt", "rb").read()
noise = random.Random(7).randbytes(3000)
def encipher(data, name):
    key = bytes(c ^ (0x13, 0x35, 0x86, 0x07)[i % 4] for i, c in enumerate(name))
    out = bytearray()
    for i, b in enumerate(data):
        x = (~b & 0xFF) ^ key[(i % 1024) % len(key)]
        out.append((x << 4 | x >> 4) & 0xFF)
    return bytes(out)
def record(name, kind, data):
    return name.ljust(0x104, b"\0") + struct.pack("<13I", kind, 0, len(data), 0, 0, 1, *[0] * 7) + data
streams = record(b"sample.txt", 6, encipher(zlib.compress(noise + text), b"sample.txt"))
streams += record(b"later.bin", 2, b"\x55" * 16)
debug = b"NB10" + bytes(12) + b"C:\\build\\setup.pdb\0"
image = program_headers([(b".text", 0x60000020, True)]) + b"\xC3".ljust(0x200, b"\0")
overlay = debug + b"InstallShield\0" + struct.pack("<H", 2) + bytes(30) + streams
open(os.path.join(sys.argv[1], "installshield-streams.bin"), "wb").write(image + overlay)
EOF

# Compiled AutoIt scripts (EA05, EA06): behind the interpreter's image, the script (stored), sample.txt
# compressed (its "ARCHIVE-SAMPLE" a copy of a text before it), and a file cut short; and EA06's as the
# program's resource instead, in a 32-bit and a 64-bit program.
python3 - "$out" <<'EOF'
import os, struct, sys
from pe import program_headers
text = open("sample.txt", "rb").read()
M = 0xFFFFFFFF
def twister(seed):
    mt = [seed & M]
    for i in range(1, 624):
        mt.append((0x6C078965 * (mt[-1] ^ mt[-1] >> 30) + i) & M)
    while True:
        for k in range(624):
            y = (mt[k] & 0x80000000) | (mt[(k + 1) % 624] & 0x7FFFFFFF)
            mt[k] = mt[(k + 397) % 624] ^ y >> 1 ^ (0x9908B0DF if y & 1 else 0)
        for y in mt:
            y ^= y >> 11; y ^= y << 7 & 0x9D2C5680; y ^= y << 15 & 0xEFC60000; y ^= y >> 18
            yield (y >> 1) & 0xFF
def rotating(seed):
    words, x = [], seed & 0xFFFF
    for _ in range(17):
        x = (1 - x * 0x53A9B4FB) & M
        words.append(x)
    state = [0, 10]
    def step():
        a, b = state
        r = lambda v, n: (v << n | v >> (32 - n)) & M
        words[a] = (r(words[a], 9) + r(words[b], 13)) & M
        value = words[a]
        state[0], state[1] = (a or 17) - 1, (b or 17) - 1
        return value
    for _ in range(9):
        step()
    while True:
        step()
        yield step() >> 24
def compress(data, literal_bit, copies):
    # copies: {position: (offset, length)}; everything else goes as literals
    bits = []
    def put(value, count):
        bits.extend((value >> (count - 1 - i)) & 1 for i in range(count))
    at = 0
    while at < len(data):
        if at in copies:
            offset, length = copies[at]
            put(1 - literal_bit, 1); put(offset, 15)
            n = length - 3
            assert 10 <= n < 41
            put(3, 2); put(7, 3); put(n - 10, 5)
            at += length
        else:
            put(literal_bit, 1); put(data[at], 8)
            at += 1
    bits += [0] * (-len(bits) % 16)
    words = bytes(int("".join(map(str, bits[i:i + 8])), 2) for i in range(0, len(bits), 8))
    return words
for version, wide, gen, seeds, literal_bit in (
        (b"EA05", False, twister, (0x16FA, 0x29BC, 0xA25E, 0x29AC, 0xF25E, 0x45AA, 0x22AF), 0),
        (b"EA06", True, rotating, (0x18EE, 0xADBC, 0xB33F, 0xF820, 0xF479, 0x87BC, 0x2477), 1)):
    tag_seed, first_mask, first_seed, second_mask, second_seed, size_mask, data_seed = seeds
    digest = bytes(range(16))
    data_key = data_seed + (0 if wide else sum(digest))
    def encipher(data, seed):
        return bytes(b ^ k for b, k in zip(data, gen(seed)))
    def name(value, mask, seed):
        raw = value.encode("utf-16-le" if wide else "latin-1")
        return struct.pack("<I", len(value) ^ mask) + encipher(raw, seed + len(value))
    def record(first, compressed, data, unpacked, claimed=None):
        packed = len(data) if claimed is None else claimed
        return (encipher(b"FILE", tag_seed) + name(first, first_mask, first_seed) + name(first, second_mask, second_seed) +
                bytes([compressed]) + struct.pack("<III", packed ^ size_mask, unpacked ^ size_mask, 0) + bytes(16) +
                encipher(data, data_key))
    plain = b"ARCHIVE-SAMPLE; " + text
    body = compress(plain, literal_bit, {plain.index(b"ARCHIVE-SAMPLE", 1): (plain.index(b"ARCHIVE-SAMPLE", 1), 14)})
    packed = version + struct.pack(">I", len(plain)) + body
    script = b"; a script\r\n"
    overlay = bytes([0xA3, 0x48, 0x4B, 0xBE, 0x98, 0x6C, 0x4A, 0xA9, 0x99, 0x4C, 0x53, 0x0A, 0x86, 0xD6, 0x48, 0x7D])
    overlay += b"AU3!" + version + digest
    overlay += record(">>>AUTOIT SCRIPT<<<", 0, script, len(script))
    overlay += record("C:\\sample.txt", 1, packed, len(plain))
    overlay += record("C:\\cut.bin", 0, b"0123456789", 100, claimed=100)
    image = program_headers([(b".text", 0x60000020, True)]) + b"\xC3".ljust(0x200, b"\0")
    open(os.path.join(sys.argv[1], "autoit-%s.bin" % version.decode().lower()), "wb").write(image + overlay)
    if wide:  # AutoIt 3.3's form: the same bytes as the resource RT_RCDATA "SCRIPT" (language 2057)
        rsrc = struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, 10, 0x80000018)
        rsrc += struct.pack("<IIHHHHII", 0, 0, 0, 0, 1, 0, 0x80000058, 0x80000030)
        rsrc += struct.pack("<IIHHHHII", 0, 0, 0, 0, 0, 1, 2057, 0x48)
        rsrc += struct.pack("<IIII", 0x2068, len(overlay), 0, 0) + struct.pack("<H", 6) + "SCRIPT".encode("utf-16-le")
        rsrc = rsrc.ljust(0x68, b"\0") + overlay
        size = (len(rsrc) + 0x1FF) & ~0x1FF
        headers = bytearray(program_headers([(b".text", 0x60000020, True), (b".rsrc", 0x40000040, True)]))
        struct.pack_into("<I", headers, 0x58 + 56, 0x2000 + ((size + 0xFFF) & ~0xFFF))  # the image's size
        struct.pack_into("<II", headers, 0x58 + 112, 0x2000, len(rsrc))                  # the resource directory
        struct.pack_into("<I", headers, 0x138 + 40 + 8, len(rsrc))
        struct.pack_into("<II", headers, 0x138 + 40 + 16, size, 0x400)
        program = bytes(headers) + b"\xC3".ljust(0x200, b"\0") + rsrc.ljust(size, b"\0")
        open(os.path.join(sys.argv[1], "autoit-resource.bin"), "wb").write(program)
        # and as a 64-bit program (PE32+: its image base and stack sizes 64-bit, the optional header longer)
        opt = bytes(headers[0x58:0x138])
        opt = (struct.pack("<H", 0x20B) + opt[2:24] + struct.pack("<Q", 0x140000000) + opt[32:72] +
               struct.pack("<QQQQ", 0x100000, 0x1000, 0x100000, 0x1000) + opt[88:])
        x64 = (bytes(headers[:0x44]) + struct.pack("<H", 0x8664) + bytes(headers[0x46:0x54]) + struct.pack("<HH", 0xF0, 0x22) +
               opt + bytes(headers[0x138:0x138 + 80])).ljust(0x200, b"\0")
        open(os.path.join(sys.argv[1], "autoit-resource-x64.bin"), "wb").write(x64 + program[0x200:])
EOF

# A Symbian installation file (SIS of release 6): one file record, the file zlib-compressed.
python3 - "$out" <<'EOF'
import os, struct, sys, zlib
text = open("sample.txt", "rb").read()
packed = zlib.compress(text, 9)
source, destination = "C:\\build\\sample.txt".encode("utf-16-le"), "!:\\sample.txt".encode("utf-16-le")
header = struct.pack("<4IHHHHHHHHIHHHHI", 0x10201234, 0x10003A12, 0x10000419, 0, 0, 1, 1, 0, 0, 0, 0, 0, 200, 1, 0, 1, 0, 0)
files_at = 0x64
names_at = files_at + 4 * 12
data_at = names_at + len(source) + len(destination)
header += struct.pack("<9I", 0x60, files_at, 0, 0, 0, 0, 0, len(text), len(text)).ljust(files_at - len(header), b"\0")
header = header.ljust(files_at, b"\0")
record = struct.pack("<12I", 0, 0, 0, len(source), names_at, len(destination), names_at + len(source), len(packed),
                     data_at, len(text), 0, 0)
open(os.path.join(sys.argv[1], "sis.bin"), "wb").write(header + record + source + destination + packed)
EOF

# Compressed Flash movies: zlib (CWS) and LZMA (ZWS) behind the 8-byte header.
python3 - "$out" <<'EOF'
import lzma, os, struct, sys, zlib
body = b"\x78\x00\x05\x5f\x00\x00\x0f\xa0\x00\x00\x18\x01\x00" + open("sample.txt", "rb").read()
length = struct.pack("<I", 8 + len(body))
open(os.path.join(sys.argv[1], "flash-cws.bin"), "wb").write(b"CWS\x0a" + length + zlib.compress(body, 9))
alone = lzma.compress(body, format=lzma.FORMAT_ALONE)  # properties, the length, then the stream
stream = alone[13:]
open(os.path.join(sys.argv[1], "flash-zws.bin"), "wb").write(b"ZWS\x0d" + length + struct.pack("<I", len(stream)) + alone[:5] + stream)
EOF

# PDF streams behind each filter the engine decodes: ASCIIHex, ASCII85 then Flate, LZW, RunLength.
python3 - "$out" <<'EOF'
import base64, os, sys, zlib
text = open("sample.txt", "rb").read()
def lzw(data):  # 9-bit codes throughout: the sample is short
    table, codes, w = {bytes([i]): i for i in range(256)}, [256], b""
    for c in data:
        if w + bytes([c]) in table:
            w += bytes([c])
            continue
        codes.append(table[w])
        table[w + bytes([c])] = len(table) + 2
        w = bytes([c])
    codes += [table[w], 257]
    bits = "".join(format(code, "09b") for code in codes)
    bits += "0" * (-len(bits) % 8)
    return bytes(int(bits[i:i + 8], 2) for i in range(0, len(bits), 8))
def runs(data):  # literal runs of 8 bytes at most, so that the sample is split
    out, i = b"", 0
    while i < len(data):
        if i + 2 < len(data) and data[i] == data[i + 1] == data[i + 2]:
            n = 3
            while i + n < len(data) and data[i + n] == data[i] and n < 128:
                n += 1
            out += bytes([257 - n, data[i]])
        else:
            n = 1
            while i + n < len(data) and n < 8 and not (i + n + 2 < len(data) and data[i + n] == data[i + n + 1] == data[i + n + 2]):
                n += 1
            out += bytes([n - 1]) + data[i:i + n]
        i += n
    return out + b"\x80"
text = text.replace(b"harmless", b"haaaaaarmless")  # a run for RunLength
for name, filters, data in (("pdf-asciihex", "/ASCIIHexDecode", text.hex().encode() + b">"),
                            ("pdf-ascii85-flate", "[/ASCII85Decode /FlateDecode]", base64.a85encode(zlib.compress(text), adobe=True)[2:]),
                            ("pdf-lzw", "/LZWDecode", lzw(text)), ("pdf-runlength", "/RunLengthDecode", runs(text))):
    pdf = (b"%PDF-1.4\n1 0 obj\n<< /Length " + str(len(data)).encode() + b" /Filter " + filters.encode() + b" >>\nstream\n" +
           data + b"\nendstream\nendobj\n%%EOF\n")
    open(os.path.join(sys.argv[1], name + ".bin"), "wb").write(pdf)
EOF

# Programs packed by UPX's methods NRV2B, NRV2D and NRV2E: the packer's header among the program's headers, a section to
# unpack into, then the packed image at the start of the section the entry point lies in (repeats as copies, so the sample is split).
python3 - "$out" <<'EOF'
import os, struct, sys
from pe import program_headers
text = open("sample.txt", "rb").read()
image = b"\x90" * 64 + text + b"\x90" * 0x600 + text  # the second text lies past 0x500: the longer copies
class Bits:  # flag bits in 32-bit little-endian words, highest first, each word before the bytes read after it
    def __init__(self):
        self.out, self.slot, self.count, self.word = bytearray(), None, 32, 0
    def bit(self, b):
        if self.count == 32:
            self.flush()
            self.slot, self.count, self.word = len(self.out), 0, 0
            self.out += bytes(4)
        self.word |= b << (31 - self.count)
        self.count += 1
    def flush(self):
        if self.slot is not None:
            self.out[self.slot:self.slot + 4] = struct.pack("<I", self.word)
    def gamma(self, value):  # value >= 2: its bits after the leading one, each followed by "more" (0) or "last" (1)
        bits = bin(value)[3:]
        for i, b in enumerate(bits):
            self.bit(int(b))
            self.bit(1 if i == len(bits) - 1 else 0)
def number2(s, value):  # value >= 2, as NRV2D/E write offsets: two bits a step (a bit, "last?", a bit)
    steps = []
    m, final = value >> 1, value & 1
    while m > 1:
        c = (m + 2) % 4
        steps.append(c)
        m = (m + 2 - c) // 4
    for c in reversed(steps):
        s.bit(c >> 1); s.bit(0); s.bit(c & 1)
    s.bit(final); s.bit(1)
def pack(data, variant):  # "b", "d" or "e"
    s, i = Bits(), 0
    near = 0xD00 if variant == "b" else 0x500
    while i < len(data):
        best, off = 0, 0
        for j in range(max(0, i - 0x1000), i):
            n = 0
            while i + n < len(data) and data[j + n] == data[i + n]:
                n += 1
            if n > best:
                best, off = n, i - j
        if best >= 4:
            s.bit(0)
            length = best - 1 - (off > near)  # copies are length + 1, one more past "near"
            if variant == "b":
                s.gamma(((off - 1) >> 8) + 3)
                s.out.append((off - 1) & 0xFF)
                if length >= 4:  # 1 to 3 in two bits, more as a number of at least 2, less 2
                    s.bit(0); s.bit(0); s.gamma(length - 2)
                else:
                    s.bit(length >> 1); s.bit(length & 1)
            else:
                small = (length <= 2) if variant == "e" else (length <= 3 and length >= 2)
                raw = (off - 1) * 2 + (0 if small else 1)  # its lowest bit is the inverse of the length's first bit
                number2(s, (raw >> 8) + 3)
                s.out.append(raw & 0xFF)
                if variant == "d":
                    if small:
                        s.bit(length & 1)  # after the first bit (1): 2 or 3
                    elif length == 1:
                        s.bit(1)
                    else:
                        s.bit(0); s.gamma(length - 2)
                elif small:
                    s.bit(length - 1)
                elif length <= 4:
                    s.bit(1); s.bit(length - 3)
                else:
                    s.bit(0); s.gamma(length - 3)
            i += best
        else:
            s.bit(1)
            s.out.append(data[i])
            i += 1
    s.bit(0)
    if variant == "b":
        s.gamma(0x1000002)
    else:
        number2(s, 0x1000002)
    s.out.append(0xFF)
    s.flush()
    return bytes(s.out)
for variant, method in (("b", 2), ("d", 5), ("e", 8)):
    packed = pack(image, variant)
    upx = b"UPX!" + bytes([13, 9, method, 8]) + bytes(8) + struct.pack("<III", len(image), len(packed), 0) + bytes([0, 0, 0, 0])
    assert len(packed) <= 0x200 and text[:21] not in packed
    open(os.path.join(sys.argv[1], "upx-nrv2%s.bin" % variant), "wb").write(
        program_headers([(b"UPX0", 0xE0000080, False), (b"UPX1", 0xE0000040, True)], upx) + packed.ljust(0x200, b"\0"))
EOF

# A program packed by a packer of our own: its text XOR-ed in a data section, and unpacking code that
# first raises a breakpoint its own exception handler steps over, then decodes the text and exits
# through its import of ExitProcess. Only running the code (handler, imports and all) shows the text.
python3 - "$out" <<'EOF'
import os, struct, sys
from pe import program_headers
text = open("sample.txt", "rb").read()
stub_va = 0x402000
code = (b"\x68" + struct.pack("<I", stub_va + 0x2D)           # push handler
        + b"\x64\xFF\x35\0\0\0\0" + b"\x64\x89\x25\0\0\0\0"   # push fs:[0]; mov fs:[0], esp
        + b"\xCC"                                             # int3
        + b"\xBE" + struct.pack("<I", 0x401000) + b"\xB9" + struct.pack("<I", len(text))
        + b"\x80\x36\x5A\x46\x49\x75\xF9"                     # xor byte [esi], 0x5A; inc esi; dec ecx; jnz
        + b"\x6A\x00\xFF\x15" + struct.pack("<I", 0x4020C8)   # push 0; call [ExitProcess]
        + b"\x8B\x44\x24\x0C\xFF\x80\xB8\0\0\0\x31\xC0\xC3")  # handler: ++context.Eip; return 0
assert len(code) == 0x3A
stub = bytearray(code.ljust(0x200, b"\0"))
stub[0x80:0x94] = struct.pack("<IIIII", 0x20C0, 0, 0, 0x20E0, 0x20C8)  # the import descriptor
stub[0xC0:0xC8] = struct.pack("<II", 0x20D0, 0)
stub[0xC8:0xD0] = struct.pack("<II", 0x20D0, 0)
stub[0xD0:0xDE] = b"\0\0ExitProcess\0"
stub[0xE0:0xED] = b"kernel32.dll\0"
headers = bytearray(program_headers([(b".data", 0xC0000040, True), (b".stub", 0xE0000020, True)]))
table = 0x40 + 24 + 0xE0
struct.pack_into("<I", headers, table + 40 + 20, 0x400)   # the stub's raw data after the data's
struct.pack_into("<II", headers, 0x58 + 104, 0x2080, 40)  # the import directory
data = bytes(b ^ 0x5A for b in text).ljust(0x200, b"\0")
program = bytes(headers) + data + bytes(stub)
assert text[:21] not in program
open(os.path.join(sys.argv[1], "packed-program.bin"), "wb").write(program)
EOF

# A program packed as WWPack32 packs (by a packer of our own): its unpacking code's landmarks (the
# code is never run), its table of one packed section, and the section's data: flag bits in 32-bit
# words between literal bytes. The text comes out of two-byte copies of pairs spread apart, so that it
# never lies whole in the file; a run of zeros tests the longer copies.
python3 - "$out" <<'EOF'
import os, struct, sys
from pe import program_headers
text = open("sample.txt", "rb").read()
class Stream:  # the reader takes the next flag word in as soon as the last one is spent
    def __init__(self):
        self.out, self.word, self.used, self.at = bytearray(4), 0, 0, 0
    def bits(self, value, n):
        for i in reversed(range(n)):
            self.word |= ((value >> i) & 1) << (31 - self.used)
            self.used += 1
            if self.used == 32:
                self.out[self.at:self.at + 4] = struct.pack("<I", self.word)
                self.at, self.word, self.used = len(self.out), 0, 0
                self.out += bytes(4)
    def literal(self, byte):
        self.bits(0, 1)
        self.out.append(byte)
    def pair(self, distance):  # two bytes from 1 to 0x35F back
        for kind, base, width in ((3, 0x161, 9), (2, 0x61, 8), (1, 0x21, 6), (0, 1, 5)):
            if distance >= base:
                self.bits(0b111, 3); self.bits(kind, 2); self.bits(distance - base, width)
                return
    def end(self):
        self.bits(0b11111, 5); self.bits(0x1FF, 9)
        self.out[self.at:self.at + 4] = struct.pack("<I", self.word)
s, output = Stream(), bytearray()
for i in range(0, len(text), 2):  # the pairs, apart
    for b in text[i:i + 2] + b"\0":
        s.literal(b); output.append(b)
s.bits(0b100, 3); s.bits(0, 3); s.bits(0, 5); s.bits(0b1, 1); s.bits(7, 3)  # 13 bytes from one back
output += bytes(13)
for i in range(0, len(text), 2):
    s.pair(len(output) - i // 2 * 3)
    output += text[i:i + 2]
s.end()
packed = bytes(s.out).ljust((len(s.out) + 3) // 4 * 4, b"\0")
assert len(packed) <= 0x200 and text[:21] not in packed
stub = bytearray(0x200)
stub[0:8] = b"\x53\x55\x8B\xE8\x33\xDB\xEB\x26"      # push ebx; push ebp; mov ebp, eax; xor ebx, ebx; jmp
stub[8:0x28] = b"WWPack32-like stub of the tests".ljust(0x20, b"\0")
stub[0x30:0x3B] = b"\xE8\0\0\0\0\x58\x2D" + struct.pack("<I", 0x35)   # call $+5; pop eax; sub eax, 0x35
stub[0x3C:0x44] = b"\x2E\x2B\x84\x0D" + struct.pack("<I", 0x100)      # sub eax, cs:[ebp+ecx+0x100]
stub[0xF0:0xF7] = b"\x5D\x5B\xE9" + struct.pack("<i", 0x1000 - 0x20F7)  # pop ebp; pop ebx; jmp 0x401000
stub[0x100:0x111] = struct.pack("<IIIIB", 0x1000, 0xFFC, len(packed) // 4, len(packed) - 4, 0)
headers = bytearray(program_headers([(b".data", 0xC0000040, True), (b".WWP32", 0xE0000060, True)]))
struct.pack_into("<I", headers, 0x40 + 24 + 0xE0 + 40 + 20, 0x400)  # the stub's raw data after the data's
program = bytes(headers) + packed.ljust(0x200, b"\0") + bytes(stub)
open(os.path.join(sys.argv[1], "wwpack.bin"), "wb").write(program)
EOF

tests=/var/cache/tervan/src/libarchive/libarchive/test
for name in test_read_format_rar test_read_format_rar5_compressed test_read_format_rar_encryption_data; do
    python3 -c "import binascii, sys
data = b''.join(binascii.a2b_uu(l) for l in open(sys.argv[1]).read().split('\n')[1:] if l and not l.startswith('end'))
open(sys.argv[2], 'wb').write(data)" "$tests/$name.rar.uu" "$out/${name#test_read_format_}.bin"
done
mv "$out/rar.bin" "$out/rar4.bin"
mv "$out/rar5_compressed.bin" "$out/rar5.bin"
mv "$out/rar_encryption_data.bin" "$out/rar4-encrypted.bin"
ls -la "$out"
