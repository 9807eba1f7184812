#!/usr/bin/env python3
"""Generates the race's tree and signatures: make-race.py WORK_FOLDER FILES.
WORK_FOLDER/tree holds the files (some ZIPs, a few matching); WORK_FOLDER/bases1000 and bases10000
hold race.ndb (body signatures with fixed bytes, ??, *, {n} and {n-m}, offsets *, n and EOF-n) and
race.hdb (MD5 hashes of some files)."""
import hashlib
import io
import os
import random
import shutil
import sys
import zipfile

work, count = sys.argv[1], int(sys.argv[2])
random.seed(20261207)
tree = os.path.join(work, "tree")
shutil.rmtree(tree, ignore_errors=True)


def pattern():
    """A signature's hex text and one byte string that it matches."""
    kind = random.randrange(5)
    a, b = os.urandom(random.randint(6, 10)), os.urandom(random.randint(6, 10))
    if kind == 0:
        return a.hex(), a
    if kind == 1:
        filler = os.urandom(2)
        return a.hex() + "????" + b.hex(), a + filler + b
    if kind == 2:
        filler = os.urandom(random.randint(0, 300))
        return a.hex() + "*" + b.hex(), a + filler + b
    if kind == 3:
        n = random.randint(1, 40)
        return a.hex() + "{%d}" % n + b.hex(), a + os.urandom(n) + b
    n, m = sorted((random.randint(0, 30), random.randint(0, 30)))
    return a.hex() + "{%d-%d}" % (n, m) + b.hex(), a + os.urandom(random.randint(n, m)) + b


bodies = []  # (name, offset kind, hex, matching bytes)
for i in range(10000):
    hex_text, sample = pattern()
    offset = random.choice(["*"] * 8 + ["0", "EOF"])
    bodies.append(("Race.Body.%d" % i, offset, hex_text, sample))

matching = {}  # file index -> signature index (among the first 1000, so both sets see it)
for index in random.sample(range(count), max(1, count // 100)):
    matching[index] = random.randrange(1000)


def content(index):
    data = bytearray(os.urandom(random.randint(200, 48000)))
    if index in matching:
        name, offset, hex_text, sample = bodies[matching[index]]
        if offset == "0":
            data[0:0] = sample
        elif offset == "EOF":
            data += sample
        else:
            at = random.randrange(len(data))
            data[at:at] = sample
    return bytes(data)


hashed = []
for index in range(count):
    folder = os.path.join(tree, "d%02d" % (index % 40))
    os.makedirs(folder, exist_ok=True)
    data = content(index)
    if index % 50 == 7:  # an archive of three members, the matching content among them
        buffer = io.BytesIO()
        with zipfile.ZipFile(buffer, "w") as archive:
            archive.writestr("first.bin", os.urandom(3000), zipfile.ZIP_DEFLATED)
            archive.writestr("payload.bin", data, random.choice([zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED]))
            archive.writestr("notes.txt", b"x" * 500, zipfile.ZIP_DEFLATED)
        data = buffer.getvalue()
        path = os.path.join(folder, "f%05d.zip" % index)
    else:
        path = os.path.join(folder, "f%05d.bin" % index)
    with open(path, "wb") as f:
        f.write(data)
    if index % 97 == 3 and index not in matching:
        hashed.append((hashlib.md5(data).hexdigest(), len(data), "Race.Hash.%d" % index))

for total in (1000, 10000):
    bases = os.path.join(work, "bases%d" % total)
    shutil.rmtree(bases, ignore_errors=True)
    os.makedirs(bases)
    with open(os.path.join(bases, "race.ndb"), "w") as f:
        for name, offset, hex_text, sample in bodies[:total]:
            f.write("%s:0:%s:%s\n" % (name, "EOF-%d" % len(sample) if offset == "EOF" else offset, hex_text))
    with open(os.path.join(bases, "race.hdb"), "w") as f:
        for digest, size, name in hashed:
            f.write("%s:%d:%s\n" % (digest, size, name))
