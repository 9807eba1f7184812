#!/usr/bin/env python3
"""Signatures of Debian's harmless test program clam.exe, as clamscan reads them:
clam-signatures.py CLAM_EXE FOLDER writes clam.hdb (its MD5), clam.ndb (its entry code as a body
signature) and clam.ldb (the same code split into a logical signature's two parts)."""
import hashlib
import os
import struct
import sys

data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
count, optional = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
entry_rva = struct.unpack_from("<I", data, pe + 40)[0]
for i in range(count):
    vsize, va, rsize, rptr = struct.unpack_from("<IIII", data, pe + 24 + optional + i * 40 + 8)
    if va <= entry_rva < va + max(vsize, rsize):
        entry = rptr + entry_rva - va
code = data[entry:entry + 24].hex()


def write(name, line):
    open(os.path.join(sys.argv[2], name), "w").write(line + "\n")


write("clam.hdb", "%s:%d:Clam.Exe.Md5" % (hashlib.md5(data).hexdigest(), len(data)))
write("clam.ndb", "Clam.Exe.Body:0:*:" + code)
write("clam.ldb", "Clam.Exe.Logical;Engine:51-255,Target:0;0&1;%s;%s" % (code[:16], code[16:]))
