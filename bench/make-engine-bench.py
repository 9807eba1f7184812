#!/usr/bin/env python3
"""Signature sets and files for the engine benchmark: make-engine-bench.py WORK MEGABYTES.
WORK/sigs-N/bench.ndb for N in 1, 10000, 100000, 300000 (body signatures mixing fixed bytes, ??, {n}
and *, every one of them holding a run of at least 6 fixed bytes); WORK/random.bin (random bytes);
WORK/adversarial.bin (signature fragments and repeated prefixes, so that candidates start everywhere,
with one true match of signature 77 near its end); WORK/small/ (a tree of small files)."""
import os
import random
import sys

work, megabytes = sys.argv[1], int(sys.argv[2])
random.seed(17)
os.makedirs(work, exist_ok=True)


def signature(i):
    """Hex text, and bytes that match it."""
    a, b = random.randbytes(random.randint(6, 12)), random.randbytes(random.randint(4, 10))
    kind = i % 4
    if kind == 0:
        return a.hex() + b.hex(), a + b
    if kind == 1:
        return a.hex() + "??" + b.hex(), a + b"\x00" + b
    if kind == 2:
        n = random.randint(1, 30)
        return a.hex() + "{%d}" % n + b.hex(), a + bytes(n) + b
    return a.hex() + "*" + b.hex(), a + b"filler" + b


signatures = [signature(i) for i in range(300000)]
for count in (1, 10000, 100000, 300000):
    folder = os.path.join(work, "sigs-%d" % count)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "bench.ndb"), "w") as out:
        for i in range(count):
            out.write("Bench.Sig.%d:0:*:%s\n" % (i, signatures[i][0]))

size = megabytes << 20
with open(os.path.join(work, "random.bin"), "wb") as out:
    for _ in range(megabytes):
        out.write(random.randbytes(1 << 20))

# Fragments: the first 4 to 8 bytes of signatures' fixed parts (anchor prefixes that fail later), and
# a repeated prefix of one signature.
fragments = [signatures[random.randrange(100000)][1][: random.randint(4, 8)] for _ in range(20000)]
fragments.append(signatures[5][1][:-1] * 4)
block = bytearray()
while len(block) < (1 << 20):
    block += random.choice(fragments)
block = bytes(block[: 1 << 20])
with open(os.path.join(work, "adversarial.bin"), "wb") as out:
    for i in range(megabytes):
        if i == megabytes - 1:
            out.write(block[: -4096] + signatures[77][1] + block[len(signatures[77][1]) - 4096 :])
        else:
            out.write(block)

small = os.path.join(work, "small")
os.makedirs(small, exist_ok=True)
for i in range(2000):
    with open(os.path.join(small, "f%04d.bin" % i), "wb") as out:
        out.write(random.randbytes(random.randint(100, 60000)))
