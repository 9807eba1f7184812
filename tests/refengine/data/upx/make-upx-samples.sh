#!/usr/bin/env bash
# Programs packed by UPX 4 as it packs today, for the engine's tests: a small program of ours (calls,
# jumps and absolute addresses in every function), packed by each method and by --brute (another call
# filter), the same for Linux by two methods, and the signatures of a stretch of each one's code that
# only an image unpacked, its calls and its addresses restored, can match. Made once and kept (UPX 4 is in bookworm-backports, not on every
# machine): run it again after changing the program.
#   make-upx-samples.sh   (needs i686-w64-mingw32-gcc, gcc for amd64 and upx 4)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
upx --version | head -n 1 | grep -q '^upx 4' || { echo "make-upx-samples: needs upx 4 (bookworm-backports' upx-ucl)" >&2; exit 1; }
python3 - >"$work/program.c" <<'PY'
print("static volatile int table[256];")
print("static int (*volatile hooks[4])(int);")
for i in range(160):
    print("int f%d(int x);" % i)
for i in range(160):
    nxt = "f%d(x + %d)" % (i + 1, i) if i < 159 else "x"
    print("__attribute__((noinline)) int f%d(int x) { table[(x + %d) & 255] += %d; if (x & %d) return %s; return table[%d] ^ x; }"
          % (i, i * 3, i * 7 + 1, 1 << (i % 5), nxt, (i * 11) & 255))
print("int start(void) { hooks[0] = f3; return f0(hooks[0](1)); }")
PY
i686-w64-mingw32-gcc -O1 -fno-inline -nostdlib -e _start -Wl,--dynamicbase -Wl,--subsystem,console -o "$work/program.exe" "$work/program.c"
for method in nrv2b nrv2d nrv2e lzma; do upx -q -f "--$method" -o "$here/upx4-$method.exe" "$work/program.exe" >/dev/null; done
upx -q -f --brute -o "$here/upx4-brute.exe" "$work/program.exe" >/dev/null
# The same program for Linux (amd64), packed by two methods.
gcc -O1 -fno-inline -nostdlib -static -e start -o "$work/program.elf" "$work/program.c"
for method in nrv2b lzma; do upx -q -f "--$method" -o "$here/upx4-elf-$method" "$work/program.elf" >/dev/null; done
# 48 bytes of f80's code: a call and an absolute address in them, found in no packed file as they are.
python3 - "$work/program.exe" "$here" >"$here/upx4.ndb" <<'PY'
import glob, struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
count, optional = struct.unpack_from("<H", data, pe + 6)[0], struct.unpack_from("<H", data, pe + 20)[0]
packed = [open(f, "rb").read() for f in glob.glob(sys.argv[2] + "/upx4-*.exe")]
for i in range(count):
    at = pe + 24 + optional + 40 * i
    size, offset = struct.unpack_from("<II", data, at + 16)
    if struct.unpack_from("<I", data, at + 36)[0] & 0x20:
        for start in range(offset + size // 2, offset + size - 48):
            piece = data[start:start + 48]
            if 0xE8 in piece[:40] and b"\xa1" in piece or b"\x83\x05" in piece or b"\x8b\x04\x85" in piece:
                if all(piece not in p for p in packed) and data.count(piece) == 1:
                    print("Upx4.Code:1:*:" + piece.hex())
                    sys.exit(0)
sys.exit("make-upx-samples: no stretch of code with a call and an address")
PY
# And 48 bytes from the middle of the Linux program's code (its executable section), a call in them,
# found in no packed file.
python3 - "$work/program.elf" "$here" >>"$here/upx4.ndb" <<'PY'
import glob, struct, sys
data = open(sys.argv[1], "rb").read()
packed = [open(f, "rb").read() for f in glob.glob(sys.argv[2] + "/upx4-elf-*")]
table, size, count = struct.unpack_from("<Q", data, 0x28)[0], struct.unpack_from("<H", data, 0x3A)[0], struct.unpack_from("<H", data, 0x3C)[0]
code = [struct.unpack_from("<QQ", data, table + i * size + 0x18) for i in range(count)
        if struct.unpack_from("<Q", data, table + i * size + 8)[0] & 4]
offset, length = code[0]
for start in range(offset + length // 2, offset + length - 48):
    piece = data[start:start + 48]
    if 0xE8 in piece[8:40] and all(piece not in p for p in packed) and data.count(piece) == 1:
        print("Upx4.Elf:6:*:" + piece.hex())
        sys.exit(0)
sys.exit("make-upx-samples: no stretch of the Linux program's code with a call")
PY
ls -la "$here"
