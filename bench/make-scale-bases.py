#!/usr/bin/env python3
"""A signature container at the size of the public one, for load time and memory: hash signatures
(.hdb and .hsb), PE section hashes (.mdb), body signatures (.ndb) and logical signatures (.ldb), packed
into an unsigned container (.cud) that both engines read. Counts can be scaled down.
    make-scale-bases.py OUT.cud [SCALE]      (SCALE 1.0: 4,000,000 hashes, 500,000 / 150,000 / 50,000)"""
import gzip
import hashlib
import io
import os
import random
import sys
import tarfile

out = sys.argv[1]
scale = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
rng = random.Random(4000000)
hashes, sections, bodies, logicals = (int(n * scale) for n in (4000000, 500000, 150000, 50000))


def hexbytes(n):
    return os.urandom(n).hex()


def size():
    return rng.randrange(100, 5000000)


members = {}
lines = []
for i in range(hashes // 2):
    lines.append("%s:%d:Scale.Md5.%d\n" % (hexbytes(16), size(), i))
members["scale.hdb"] = "".join(lines).encode()
lines = []
for i in range(hashes // 2):
    digest = hexbytes(20 if i % 2 else 32)
    lines.append("%s:%d:Scale.Sha.%d\n" % (digest, size(), i))
members["scale.hsb"] = "".join(lines).encode()
lines = []
for i in range(sections):
    lines.append("%d:%s:Scale.Section.%d\n" % (rng.randrange(512, 200000), hexbytes(16), i))
members["scale.mdb"] = "".join(lines).encode()
lines = []
for i in range(bodies):
    kind = i % 5
    if kind == 0:
        body = hexbytes(rng.randrange(10, 30))
    elif kind == 1:
        body = hexbytes(8) + "??" + hexbytes(6)
    elif kind == 2:
        body = hexbytes(8) + "{2-10}" + hexbytes(6)
    elif kind == 3:
        body = hexbytes(10) + "*" + hexbytes(8)
    else:
        body = hexbytes(6) + "(" + hexbytes(1) + "|" + hexbytes(1) + ")" + hexbytes(8)
    lines.append("Scale.Body.%d:%d:*:%s\n" % (i, i % 2, body))
members["scale.ndb"] = "".join(lines).encode()
lines = []
for i in range(logicals):
    lines.append("Scale.Logical.%d;Engine:51-255,Target:%d;0&1;%s;%s\n" % (i, i % 2, hexbytes(12), hexbytes(10)))
members["scale.ldb"] = "".join(lines).encode()

header = "ClamAV-VDB:07 Dec 2026 10-00 +0000:1:%d:90:%%s:unsigned:tervan-bench:1796637600" % (
    hashes + sections + bodies + logicals)
info = (header % "x") + "\n" + "".join(
    "%s:%d:%s\n" % (name, len(data), hashlib.sha256(data).hexdigest()) for name, data in members.items())
raw = io.BytesIO()
with tarfile.open(fileobj=raw, mode="w", format=tarfile.USTAR_FORMAT) as tar:
    for name, data in list(members.items()) + [("scale.info", info.encode())]:
        entry = tarfile.TarInfo(name)
        entry.size = len(data)
        tar.addfile(entry, io.BytesIO(data))
body = gzip.compress(raw.getvalue(), compresslevel=1)
with open(out, "wb") as f:
    f.write((header % hashlib.md5(body).hexdigest()).encode().ljust(512, b" "))
    f.write(body)
print(sum(len(d) for d in members.values()))
