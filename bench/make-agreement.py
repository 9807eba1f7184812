#!/usr/bin/env python3
"""Signatures of every supported type with a corpus that exercises them, for comparing the reference
engine with clamscan: WORK/<type>/bases holds the bases, WORK/<type>/files the files (positives and near
misses). PE files are built with the cross compiler given (i686-w64-mingw32-gcc).
    make-agreement.py WORK COMPILER"""
import base64
import hashlib
import io
import os
import random
import struct
import subprocess
import sys
import zipfile

work, compiler = sys.argv[1], sys.argv[2]
rng = random.Random(20261207)


def hexs(data):
    return data.hex()


def filler(n):
    # Bytes that form no magic number and no text: a fixed start, then random bytes.
    return b"\x01\x02DATA" + bytes(rng.randrange(256) for _ in range(n))


class Type:
    def __init__(self, name):
        self.name = name
        self.bases = {}
        self.files = {}

    def base(self, extension, line):
        self.bases.setdefault(extension, []).append(line)

    def file(self, name, data):
        self.files[name] = data

    def write(self):
        for folder in ("bases", "files"):
            os.makedirs(os.path.join(work, self.name, folder), exist_ok=True)
        for extension, lines in self.bases.items():
            with open(os.path.join(work, self.name, "bases", "agree" + extension), "w") as f:
                f.write("\n".join(lines) + "\n")
        for name, data in self.files.items():
            with open(os.path.join(work, self.name, "files", name), "wb") as f:
                f.write(data)


def embed(*parts, size=3000):
    """Random filler with the parts placed apart from one another."""
    out = filler(200)
    for part in parts:
        out += part + filler(size // max(1, len(parts)))
    return out


# PE files: a few programs that differ in their data, so that their sections differ.
def build_pe(index):
    source = os.path.join(work, "pe%d.c" % index)
    exe = os.path.join(work, "pe%d.exe" % index)
    with open(source, "w") as f:
        f.write('#include <stdio.h>\nstatic const char marker[] = "PE-MARKER-%d-%s";\n'
                'static int table[%d] = {%d};\n'
                'int main(void) { puts(marker); return table[0] + %d; }\n'
                % (index, "x" * (index * 7), 16 + index * 40, index, index))
    subprocess.run([compiler, "-O1", "-s", "-o", exe, source], check=True)
    return open(exe, "rb").read()


def pe_layout(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    entry_rva = struct.unpack_from("<I", data, pe + 24 + 16)[0]
    file_alignment = struct.unpack_from("<I", data, pe + 24 + 36)[0]
    table = pe + 24 + optional_size
    sections = []
    for i in range(count):
        vsize, va, rsize, rptr = struct.unpack_from("<IIII", data, table + i * 40 + 8)
        if file_alignment >= 0x200:
            rptr &= ~0x1FF  # where the loader reads the section from
        sections.append((va, vsize, rsize, rptr))
    entry = None
    for va, vsize, rsize, rptr in sections:
        if va <= entry_rva < va + max(vsize, rsize):
            entry = rptr + entry_rva - va
            break
    return entry, sections


types = []

# Body signatures in any object.
t = Type("ndb")
forms = [
    ("Fixed", lambda: (b"fixed-sig-one", None)),
]
cases = []  # (name, offset, hex, positive data, near-miss data)
def case(name, hexsig, positive, miss, offset="*"):
    cases.append((name, offset, hexsig, positive, miss))

case("Fixed", hexs(b"fixed-sig-one"), embed(b"fixed-sig-one"), embed(b"fixed-sig-on3"))
case("Any.Byte", hexs(b"any-") + "??" + hexs(b"-byte"), embed(b"any-Q-byte"), embed(b"any--byte"))
case("Nibbles", hexs(b"nib-") + "4?" + "?1" + hexs(b"-bles"), embed(b"nib-OA-bles"), embed(b"nib-aA-bles"))
case("Star", hexs(b"star-start") + "*" + hexs(b"star-end"), embed(b"star-start", b"star-end"), embed(b"star-end", b"star-start"))
case("Exact.Gap", hexs(b"gap-a") + "{5}" + hexs(b"gap-b"), embed(b"gap-a12345gap-b"), embed(b"gap-a1234gap-b"))
case("Range.Gap", hexs(b"rng-a") + "{2-4}" + hexs(b"rng-b"), embed(b"rng-a123rng-b"), embed(b"rng-a12345rng-b"))
case("Up.To", hexs(b"upto-a") + "{-3}" + hexs(b"upto-b"), embed(b"upto-a12upto-b"), embed(b"upto-a1234upto-b"))
case("At.Least", hexs(b"least-a") + "{10-}" + hexs(b"least-b"), embed(b"least-a" + b"." * 40 + b"least-b"), embed(b"least-a12least-b"))
case("Choice", hexs(b"choice-") + "(41|42|43)" + hexs(b"-end"), embed(b"choice-B-end"), embed(b"choice-D-end"))
case("Multi.Choice", hexs(b"multi-") + "(4142|434445)" + hexs(b"-end"), embed(b"multi-CDE-end"), embed(b"multi-AC-end"))
case("Negated", hexs(b"neg-") + "!(31|32)" + hexs(b"-end"), embed(b"neg-Z-end"), embed(b"neg-1-end"))
case("Anchored.Byte", "aa[2-4]" + hexs(b"anchored-body"), embed(b"\xaa12anchored-body"), embed(b"\xaa12345anchored-body"))
case("Word", "(B)" + hexs(b"wordsig") + "(B)", embed(b" wordsig "), embed(b"xwordsig "))
case("Line", "(L)" + hexs(b"line-signature") + "(L)", embed(b"\nline-signature\r\n"), embed(b"xline-signature\n"))
# Between fixed bytes, not random ones: the random files after them stay as they were (some random
# fillers look like UTF-16 text to clamscan, which then also matches their lower-cased text).
def between_fixed(part):
    fixed = b"\x01\x02DATA" + bytes(range(256)) * 2
    return fixed + part + fixed
case("Negated.Strings", hexs(b"negs-") + "!(4142|4344)" + hexs(b"-end"), between_fixed(b"negs-AC-end"), between_fixed(b"negs-CD-end"))
case("Non.Word", hexs(b"nonword") + "(W)" + hexs(b"sig"), between_fixed(b"nonword-sig"), between_fixed(b"nonwordxsig"))
positive_at = filler(100)
case("At.Offset", hexs(b"at-offset-100"), positive_at[:100] + b"at-offset-100" + filler(300), filler(101) + b"at-offset-100" + filler(300), offset="100")
case("Floating", hexs(b"floating-sig"), filler(110) + b"floating-sig" + filler(100), filler(200) + b"floating-sig" + filler(100), offset="100,20")
case("From.End", hexs(b"from-end-sig"), filler(300) + b"from-end-sig" + b"1234", filler(300) + b"from-end-sig" + b"12345", offset="EOF-16")
import zipfile
zipped = io.BytesIO()
with zipfile.ZipFile(zipped, "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr("inner/member.bin", embed(b"fixed-sig-one"))
    z.writestr("other.bin", embed(b"nothing"))
t.file("in-a-zip.zip", zipped.getvalue())
for name, offset, hexsig, positive, miss in cases:
    t.base(".ndb", "Agree.%s:0:%s:%s" % (name, offset, hexsig))
    t.file(name + ".hit", positive)
    t.file(name + ".miss", miss)
types.append(t)

# PE-aware body signatures, section hashes and logical signatures on real PE files.
pes = [build_pe(i) for i in range(4)]
t = Type("ndb-pe")
for i, data in enumerate(pes):
    entry, sections = pe_layout(data)
    t.file("prog%d.exe" % i, data)
    if i == 0:
        t.base(".ndb", "Agree.Entry:1:EP+0:%s" % hexs(data[entry:entry + 12]))
        t.base(".ndb", "Agree.Entry.Plus:1:EP+8:%s" % hexs(data[entry + 8:entry + 20]))
        t.base(".ndb", "Agree.Entry.Shift:1:EP+0,16:%s" % hexs(data[entry + 10:entry + 22]))
        t.base(".ndb", "Agree.Before.Entry:1:EP-6:%s" % hexs(data[entry - 6:entry + 6]))
        t.file("entry-bytes-not-pe.bin", filler(entry) + data[entry:entry + 40] + filler(100))
    if i == 1:
        va, vsize, rsize, rptr = sections[1]
        t.base(".ndb", "Agree.Section.Start:1:S1+16:%s" % hexs(data[rptr + 16:rptr + 28]))
        va, vsize, rsize, rptr = sections[-1]
        t.base(".ndb", "Agree.Last.Section:1:SL+0:%s" % hexs(data[rptr:rptr + 8]))
    if i == 2:
        marker = b"PE-MARKER-2-"
        at = data.find(marker)
        index = next(k for k, s in enumerate(sections) if s[3] <= at < s[3] + s[2])
        t.base(".ndb", "Agree.In.Section:1:SE%d:%s" % (index, hexs(marker)))
        t.base(".ndb", "Agree.Pe.Anywhere:1:*:%s" % hexs(b"PE-MARKER-3-"))
        t.file("marker-not-pe.bin", embed(b"PE-MARKER-3-xxx"))
types.append(t)

t = Type("mdb")
for i, data in enumerate(pes):
    t.file("prog%d.exe" % i, data)
entry, sections = pe_layout(pes[1])
unique = [s for s in sections if s[2] and all(pes[1][s[3]:s[3] + s[2]] != p[s[3]:s[3] + s[2]] for p in (pes[0], pes[2], pes[3]))]
va, vsize, rsize, rptr = unique[0]
raw = pes[1][rptr:rptr + rsize]
t.base(".mdb", "%d:%s:Agree.Section.Md5" % (rsize, hashlib.md5(raw).hexdigest()))
entry, sections = pe_layout(pes[2])
va, vsize, rsize, rptr = [s for s in sections if s[2]][-1]
raw = pes[2][rptr:rptr + rsize]
t.base(".msb", "%d:%s:Agree.Section.Sha1" % (rsize, hashlib.sha1(raw).hexdigest()))
t.base(".msb", "*:%s:Agree.Section.Sha256.Any:73" % hashlib.sha256(pes[3][pe_layout(pes[3])[1][1][3]:][:pe_layout(pes[3])[1][1][2]]).hexdigest())
t.file("section-bytes-not-pe.bin", filler(50) + raw)
types.append(t)

t = Type("hdb")
for i in range(6):
    data = embed(b"hashed-%d" % i)
    t.file("hashed%d.bin" % i, data)
    t.file("hashed%d-plus-one.bin" % i, data + b"!")
    size = "*" if i % 2 else str(len(data))
    level = ":73" if size == "*" else ""
    if i < 2:
        t.base(".hdb", "%s:%s:Agree.Md5.%d%s" % (hashlib.md5(data).hexdigest(), size, i, level))
    elif i < 4:
        t.base(".hsb", "%s:%s:Agree.Sha1.%d%s" % (hashlib.sha1(data).hexdigest(), size, i, level))
    else:
        t.base(".hsb", "%s:%s:Agree.Sha256.%d%s" % (hashlib.sha256(data).hexdigest(), size, i, level))
types.append(t)

t = Type("ldb")
A, B, C = b"ldb-alpha", b"ldb-beta", b"ldb-gamma"
t.base(".ldb", "Agree.And;Engine:51-255,Target:0;0&1;%s;%s" % (hexs(A), hexs(B)))
t.file("and.hit", embed(B, A)); t.file("and.miss", embed(A, A))
t.base(".ldb", "Agree.Choice.Nocase;Engine:51-255,Target:0;0;%s(4142|4344)%s::i" % (hexs(b"caseless-"), hexs(b"-end")))
t.file("choicenocase.hit", between_fixed(b"caseless-cD-end")); t.file("choicenocase.miss", between_fixed(b"caseless-aD-end"))
t.base(".ldb", "Agree.Or;Engine:51-255,Target:0;0|1;%s;%s" % (hexs(b"or-one"), hexs(b"or-two")))
t.file("or.hit", embed(b"or-two")); t.file("or.miss", embed(b"or-three"))
t.base(".ldb", "Agree.Count;Engine:51-255,Target:0;0>2;%s" % hexs(b"counted!"))
t.file("count.hit", embed(b"counted!", b"counted!", b"counted!")); t.file("count.miss", embed(b"counted!", b"counted!"))
t.base(".ldb", "Agree.Equal;Engine:51-255,Target:0;0=2;%s" % hexs(b"exactly-two"))
t.file("equal.hit", embed(b"exactly-two", b"exactly-two")); t.file("equal.miss", embed(b"exactly-two", b"exactly-two", b"exactly-two"))
t.base(".ldb", "Agree.Distinct;Engine:51-255,Target:0;(0|1|2)>1,2;%s;%s;%s" % (hexs(b"dist-a"), hexs(b"dist-b"), hexs(b"dist-c")))
t.file("distinct.hit", embed(b"dist-a", b"dist-c")); t.file("distinct.miss", embed(b"dist-a", b"dist-a", b"dist-a"))
t.base(".ldb", "Agree.Fewer;Engine:51-255,Target:0;0&1<2;%s;%s" % (hexs(b"fewer-a"), hexs(b"fewer-b")))
t.file("fewer.hit", embed(b"fewer-a", b"fewer-b")); t.file("fewer.miss", embed(b"fewer-a", b"fewer-b", b"fewer-b"))
t.base(".ldb", "Agree.Nocase;Engine:51-255,Target:0;0;%s::i" % hexs(b"CaseLess-Token-7"))
t.file("nocase.hit", embed(b"cASELESS-tOKEN-7")); t.file("nocase.miss", embed(b"CaseLess-Token-8"))
t.base(".ldb", "Agree.Nocase.Choice;Engine:51-255,Target:0;0;%s(41|42)?5%s::i" % (hexs(b"nc-Mix-"), hexs(b"-End")))
t.file("nocasechoice.hit", embed(b"NC-mIX-bE-eNd")); t.file("nocasechoice.miss", embed(b"nc-Mix-cE-End"))
t.base(".ldb", "Agree.Wide;Engine:51-255,Target:0;0;%s::w" % hexs(b"wide-text"))
t.file("wide.hit", embed("wide-text".encode("utf-16-le"))); t.file("wide.miss", embed(b"wide-text"))
t.base(".ldb", "Agree.Wide.Ascii;Engine:51-255,Target:0;0;%s::wa" % hexs(b"both-forms"))
t.file("wideascii.hit1", embed("both-forms".encode("utf-16-le"))); t.file("wideascii.hit2", embed(b"both-forms"))
t.base(".ldb", "Agree.Fullword;Engine:51-255,Target:0;0;%s::f" % hexs(b"fullword"))
t.file("fullword.hit", embed(b" fullword ")); t.file("fullword.miss", embed(b"xfullwordx"))
t.base(".ldb", "Agree.Size;Engine:51-255,Target:0,FileSize:1000-2000;0;%s" % hexs(b"sized-sig"))
t.file("size.hit", embed(b"sized-sig", size=1200)); t.file("size.miss", embed(b"sized-sig", size=5000))
t.base(".ldb", "Agree.Offsets;Engine:51-255,Target:0;0&1;0:%s;EOF-8:%s" % (hexs(b"\x01\x02DATA"), hexs(b"the-end!")))
t.file("offsets.hit", filler(300) + b"the-end!"); t.file("offsets.miss", filler(300) + b"the-end!.")
entry, sections = pe_layout(pes[0])
t.base(".ldb", "Agree.Pe;Engine:51-255,Target:1,NumberOfSections:%d-%d;0&1;EP+0:%s;%s" %
       (len(sections), len(sections), hexs(pes[0][entry:entry + 8]), hexs(b"PE-MARKER-0-")))
t.file("pe0.exe", pes[0]); t.file("pe1.exe", pes[1])
# The entry point as a file offset (pe2) or as an address in memory (pe3, which must not match).
entry2, _ = pe_layout(pes[2])
t.base(".ldb", "Agree.Entry.Range;Engine:51-255,Target:1,EntryPoint:%d-%d;0;%s" % (entry2 - 1, entry2 + 1, hexs(b"PE-MARKER-2-")))
rva3 = struct.unpack_from("<I", pes[3], struct.unpack_from("<I", pes[3], 0x3C)[0] + 24 + 16)[0]
t.base(".ldb", "Agree.Entry.Rva;Engine:51-255,Target:1,EntryPoint:%d-%d;0;%s" % (rva3 - 1, rva3 + 1, hexs(b"PE-MARKER-3-")))
t.file("pe2.exe", pes[2]); t.file("pe3.exe", pes[3])
types.append(t)

# Signatures limited to a kind of object, or to a container; regular expressions.
t = Type("types")
t.base(".ndb", "Agree.Text:7:*:%s" % hexs(b"run this now"))
t.file("text.hit", b"Please RUN   this\n\tNOW, please.\n" * 3)
t.file("text.utf16.hit", "Please RUN this NOW.\r\n".encode("utf-16"))
t.file("text.miss", bytes(300) + b"run this now" + bytes(300))  # binary: no text signature
t.base(".ndb", "Agree.Html:3:*:%s" % hexs(b"<script>alert(7)"))
t.file("html.hit", b"<html><body>\n<SCRIPT>alert(7)</SCRIPT>\n</body></html>\n")
t.file("html.intext.hit", b"plain words: <SCRIPT>alert(7) ...\n")  # text that carries markup is a page too
# (clamscan also reads markup it finds inside binary files as a page; the engine does not)
t.base(".ndb", "Agree.Html.Reference:3:*:%s" % hexs(b"document.write('x')"))
t.file("htmlref.hit", b"<html><body><script>document.write(&#39;x&#39;)</script></body></html>\n")
t.base(".ndb", "Agree.Mail:4:*:%s" % hexs(b"mail-marker"))
t.file("mail.hit", b"From: a@example.com\nTo: b@example.com\nSubject: hi\n\nmail-marker\n")
t.file("mail.miss", embed(b"mail-marker"))
t.base(".ndb", "Agree.Elf:6:*:%s" % hexs(b"elf-marker"))
t.file("elf.hit", b"\x7fELF\x01\x01\x01" + bytes(9) + filler(100) + b"elf-marker" + filler(100))
t.file("elf.miss", embed(b"elf-marker"))
t.base(".ldb", "Agree.Pcre;Engine:81-255,Target:0;0&1;%s;0/evil[0-9]{3}x/i" % hexs(b"pcre-trigger"))
t.file("pcre.hit", embed(b"pcre-trigger", b"EVIL123X"))
t.file("pcre.miss", embed(b"pcre-trigger", b"evil12x"))
t.base(".ldb", "Agree.In.Zip;Engine:81-255,Container:CL_TYPE_ZIP,Target:0;0;%s" % hexs(b"zipped-marker"))
packed = io.BytesIO()
with zipfile.ZipFile(packed, "w") as z:
    z.writestr("member.bin", embed(b"zipped-marker"))
t.file("zip.hit", packed.getvalue())
t.file("zip.miss", embed(b"zipped-marker"))
t.base(".ldb", "Agree.At.Root;Engine:81-255,Container:CL_TYPE_ANY,Target:0;0;%s" % hexs(b"root-marker"))
t.file("root.hit", embed(b"root-marker"))
packed = io.BytesIO()
with zipfile.ZipFile(packed, "w") as z:
    z.writestr("member.bin", embed(b"root-marker"))
t.file("root.miss", packed.getvalue())
t.base(".ldb", "Agree.In.Mail;Engine:81-255,Container:CL_TYPE_MAIL,Target:0;0;%s" % hexs(b"attached-marker"))
attachment = base64.b64encode(embed(b"attached-marker")).decode()
t.file("inmail.hit", ("From: a@example.com\nTo: b@example.com\nSubject: files\nMIME-Version: 1.0\n"
                      "Content-Type: multipart/mixed; boundary=\"b1\"\n\n--b1\nContent-Type: text/plain\n\nsee attached\n"
                      "--b1\nContent-Type: application/octet-stream; name=\"a.bin\"\nContent-Transfer-Encoding: base64\n\n"
                      "%s\n--b1--\n" % attachment).encode())
t.file("inmail.miss", embed(b"attached-marker"))
t.base(".ldb", "Agree.Pcre.Every;Engine:81-255,Target:0;0&1>2;%s;0/k[0-9]z/g" % hexs(b"every-trigger"))
t.file("pcreall.hit", embed(b"every-trigger", b"k1z", b"k2z", b"k3z"))
t.file("pcreall.miss", embed(b"every-trigger", b"k1z", b"k2z"))
t.base(".ldb", "Agree.Pcre.Offset;Engine:81-255,Target:0;0&1;%s;200,40:0/at-place/e" % hexs(b"offset-trigger"))
t.file("pcreoffset.hit", filler(214) + b"at-place" + filler(50) + b"offset-trigger" + filler(20))
t.file("pcreoffset.miss", filler(300) + b"at-place" + filler(50) + b"offset-trigger" + filler(20))
t.base(".ndb", "Agree.Gif:5:*:%s" % hexs(b"gif-marker"))
t.file("gif.hit", b"GIF89a" + bytes([1, 0, 1, 0, 0, 0, 0]) + filler(50) + b"gif-marker" + filler(50))
t.file("gif.miss", embed(b"gif-marker"))
t.base(".ndb", "Agree.Pdf:10:*:%s" % hexs(b"pdf-marker"))
t.file("pdf.hit", b"%PDF-1.4\n% pdf-marker\n1 0 obj\n<< >>\nendobj\n%%EOF\n")
t.file("pdf.miss", embed(b"pdf-marker"))
t.base(".ndb", "Agree.Java:12:*:%s" % hexs(b"java-marker"))
t.file("java.hit", b"\xca\xfe\xba\xbe\x00\x00\x00\x34" + filler(50) + b"java-marker" + filler(50))
t.file("java.miss", embed(b"java-marker"))
t.base(".ndb", "Agree.MachO:9:*:%s" % hexs(b"macho-marker"))
t.file("macho.hit", b"\xcf\xfa\xed\xfe\x07\x00\x00\x01" + filler(50) + b"macho-marker" + filler(50))
t.file("macho.miss", embed(b"macho-marker"))
types.append(t)

# An ELF program of this machine: its entry point and sections, as offsets of signatures for ELF files.
def elf_layout(data):
    wide, big = data[4] == 2, data[5] == 2
    e = ">" if big else "<"
    w = "Q" if wide else "I"
    entry, phoff, shoff = struct.unpack_from(e + w + w + w, data, 24)
    phentsize, phnum, shentsize, shnum = struct.unpack_from(e + "HHHH", data, 54 if wide else 42)
    entry_offset = None
    for i in range(phnum):
        at = phoff + i * phentsize
        if wide:
            kind, _, offset, vaddr, _, filesz = struct.unpack_from(e + "IIQQQQ", data, at)
        else:
            kind, offset, vaddr, _, filesz = struct.unpack_from(e + "IIIII", data, at)
        if kind == 1 and vaddr <= entry < vaddr + filesz and entry_offset is None:
            entry_offset = offset + entry - vaddr
    sections = []
    for i in range(shnum):
        at = shoff + i * shentsize
        kind = struct.unpack_from(e + "I", data, at + 4)[0]
        offset, size = struct.unpack_from(e + w + w, data, at + (24 if wide else 16))
        sections.append((offset, 0 if kind == 8 else size))
    return entry_offset, sections


elf_path = "/bin/true"
if os.path.exists(elf_path) and open(elf_path, "rb").read(4) == b"\x7fELF":
    elf = open(elf_path, "rb").read()
    entry, sections = elf_layout(elf)
    text = max(range(len(sections)), key=lambda i: sections[i][1])  # the largest: the code
    def changed(data, at):
        return data[:at] + bytes([data[at] ^ 0xFF]) + data[at + 1:]
    for name, line, at in (("elf-entry", "Agree.Elf.Entry:6:EP+0:%s" % hexs(elf[entry:entry + 16]), entry),
                           ("elf-section", "Agree.Elf.Section:6:S%d+0:%s" % (text, hexs(elf[sections[text][0]:sections[text][0] + 12])),
                            sections[text][0]),
                           ("elf-inside", "Agree.Elf.Inside:6:SE%d:%s" % (text, hexs(elf[sections[text][0] + 64:sections[text][0] + 76])),
                            sections[text][0] + 64),
                           ("elf-last", "Agree.Elf.Last:6:SL+0:%s" % hexs(elf[sections[-1][0]:sections[-1][0] + 8]), sections[-1][0])):
        t = Type(name)
        t.base(".ndb", line)
        t.file("program.hit", elf)
        t.file("program.miss", changed(elf, at))
        types.append(t)

# A 64-bit Mach-O program made here: one segment, one section of code at 0x800, its entry in LC_MAIN
# (which clamscan does not read: signatures at its entry point match neither scanner).
code = b"MACHO-SECTION-CODE".ljust(0x100, b"\x90")
section = struct.pack("<16s16sQQIIIIIIII", b"__text", b"__TEXT", 0x100000800, len(code), 0x800, 0, 0, 0, 0x80000400, 0, 0, 0)
segment = struct.pack("<II16sQQQQiiII", 0x19, 72 + 80, b"__TEXT", 0x100000000, 0x1000, 0, 0x1000, 5, 5, 1, 0) + section
commands = segment + struct.pack("<IIQQ", 0x80000028, 24, 0x800, 0)
macho = (struct.pack("<IiiIIIII", 0xFEEDFACF, 0x01000007, 3, 2, 2, len(commands), 0, 0) + commands).ljust(0x800, b"\0") + code
for name, line, at in (("macho-section", "Agree.MachO.Section:9:S0+0:%s" % hexs(code[:12]), 0x800),
                       ("macho-inside", "Agree.MachO.Inside:9:SE0:%s" % hexs(code[4:14]), 0x804),
                       ("macho-last", "Agree.MachO.Last:9:SL+2:%s" % hexs(code[2:12]), 0x802),
                       ("macho-entry", "Agree.MachO.Entry:9:EP+0:%s" % hexs(code[:12]), 0x800)):
    t = Type(name)
    t.base(".ndb", line)
    t.file("program.hit", macho)
    t.file("program.miss", macho[:at] + bytes([macho[at] ^ 0xFF]) + macho[at + 1:])
    types.append(t)

t = Type("allow")
t.base(".ndb", "Agree.Allowed.Body:0:*:%s" % hexs(b"allowed-body"))
for i in range(4):
    data = embed(b"allowed-body", b"%d" % i)
    t.file("allow%d.bin" % i, data)
    if i == 1:
        t.base(".fp", "%s:%d:Allowed.Md5" % (hashlib.md5(data).hexdigest(), len(data)))
    if i == 2:
        t.base(".sfp", "%s:%d:Allowed.Sha256" % (hashlib.sha256(data).hexdigest(), len(data)))
t.base(".ndb", "Agree.Ignored:0:*:%s" % hexs(b"ignored-body"))
t.base(".ign2", "Agree.Ignored")
t.file("ignored.bin", embed(b"ignored-body"))
types.append(t)

# Files from Debian's clamav-testfiles, when installed: a real small PE file, alone and in a ZIP.
testfiles = "/usr/share/clamav-testfiles"
if os.path.isdir(testfiles):
    clam = open(os.path.join(testfiles, "clam.exe"), "rb").read()
    zipped = open(os.path.join(testfiles, "clam.zip"), "rb").read()
    entry, sections = pe_layout(clam)
    real = {name: Type(name) for name in ("real-hdb", "real-ndb", "real-mdb", "real-ldb")}
    for t in real.values():
        t.file("clam.exe", clam)
        t.file("clam.zip", zipped)
        t.file("clam-changed.exe", clam[:-1] + bytes([clam[-1] ^ 1]))
        types.append(t)
    real["real-hdb"].base(".hdb", "%s:%d:Agree.Real.Md5" % (hashlib.md5(clam).hexdigest(), len(clam)))
    real["real-ndb"].base(".ndb", "Agree.Real.Entry:1:EP+0:%s" % hexs(clam[entry:entry + 16]))
    va, vsize, rsize, rptr = [x for x in sections if x[2]][0]
    real["real-mdb"].base(".mdb", "%d:%s:Agree.Real.Section" % (rsize, hashlib.md5(clam[rptr:rptr + rsize]).hexdigest()))
    real["real-ldb"].base(".ldb", "Agree.Real.Logical;Engine:51-255,Target:1;0&1;EP+0:%s;%s" %
                          (hexs(clam[entry:entry + 8]), hexs(clam[rptr + 4:rptr + 12])))

for t in types:
    t.write()
print(" ".join(t.name for t in types))
