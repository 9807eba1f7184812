#!/usr/bin/env python3
"""Fails unless every program given can be loaded where the system chooses (ASLR) with its data
kept from running: the dynamic-base and NX flags set, relocations not stripped, and a relocation
directory that lies in the image and reads as whole blocks of pages inside it (an installer maker
that moves sections must move the directory with them).
    relocatable.py PROGRAM..."""
import struct
import sys

DYNAMIC_BASE, NX_COMPAT, RELOCS_STRIPPED = 0x40, 0x100, 0x1


def problems(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return ["not a PE program"]
    sections_count, optional_size, characteristics = struct.unpack_from("<H12xHH", data, pe + 6)
    optional = pe + 24
    image_size = struct.unpack_from("<I", data, optional + 56)[0]
    dll_characteristics = struct.unpack_from("<H", data, optional + 70)[0]
    directory_count = struct.unpack_from("<I", data, optional + 92)[0]
    found = []
    if not dll_characteristics & DYNAMIC_BASE:
        found.append("not marked for a dynamic base")
    if not dll_characteristics & NX_COMPAT:
        found.append("not marked NX-compatible")
    if characteristics & RELOCS_STRIPPED:
        found.append("relocations stripped")
    if directory_count <= 5:
        return found + ["no relocation directory"]
    rva, size = struct.unpack_from("<II", data, optional + 96 + 5 * 8)
    sections = []
    for i in range(sections_count):
        at = optional + optional_size + 40 * i
        virtual_size, virtual_address, raw_size, raw_offset = struct.unpack_from("<IIII", data, at + 8)
        sections.append((virtual_address, max(virtual_size, raw_size), raw_offset, raw_size))
    holder = [s for s in sections if s[0] <= rva and rva + size <= s[0] + s[1]]
    if size < 8 or not holder:
        return found + ["relocation directory %#x+%#x outside every section" % (rva, size)]
    start = holder[0][2] + rva - holder[0][0]
    end, at = start + size, start
    while at < end:
        page, block = struct.unpack_from("<II", data, at)
        if block < 8 or at + block > end or page >= image_size:
            return found + ["relocation block at %#x does not read (page %#x, size %d)" % (at, page, block)]
        at += block
    return found


failed = False
for program in sys.argv[1:]:
    for problem in problems(program):
        print("%s: %s" % (program, problem), file=sys.stderr)
        failed = True
sys.exit(1 if failed else 0)
