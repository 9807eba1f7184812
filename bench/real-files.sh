#!/usr/bin/env bash
# Files users have, read right: this machine's package cache (every .deb), the original tarballs of
# twenty well-known Debian source packages, a large .tar.xz made here from this machine's files, and,
# where UPX is installed, Wine's programs packed by each of its methods with a body signature of
# their own code. Ours (tervscan.exe under Wine) and clamscan, the real public base plus those
# signatures, same files. Prints per group: files, ERRORs (ours with their reasons), disagreements,
# time; our peak memory on the large tarball; and the ratios.
#   bench/real-files.sh
#   REAL_FILES_DEBS=N       at most N packages of the cache (default: all)
#   REAL_FILES_BIG_MB=2048  size of the tarball made here (its data before compression)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
realbase=${REALBASE:-$root/../shared/realbase}
big_mb=${REAL_FILES_BIG_MB:-2048}

source "$root/bench/bench-start.sh"
start_clamscan_bench real-files-sandbox tervscan refengine
work="$build/real-files-data"
win='B:\real-files-data'
mkdir -p "$work/tree/debs" "$work/tree/sources" "$work/tree/big" "$work/tree/upx" "$work/src"

# The bases: the public base, beside our DLL and for clamscan.
rm -rf "$work/bases" && mkdir -p "$work/bases"
for f in "$realbase"/*.gz; do gzip -dc "$f" >"$work/bases/$(basename "$f" .gz)"; done

# The package cache, as links (copies across file systems).
find "$work/tree/debs" -type f -delete
mapfile -t debs < <(find /var/cache/apt/archives -maxdepth 1 -name '*.deb' | sort)
for deb in "${debs[@]:0:${REAL_FILES_DEBS:-${#debs[@]}}}"; do
    ln "$deb" "$work/tree/debs/" 2>/dev/null || cp "$deb" "$work/tree/debs/"
done

# Original tarballs of well-known sources, fetched once.
if [ ! -f "$work/src/fetched" ]; then
    (cd "$work/src" && for p in findutils bzip2 xz-utils curl openssl sqlite3 libpng1.6 expat pcre2 nginx bash coreutils grep sed \
        tar gzip make-dfsg less nano diffutils; do
        apt-get source --download-only -q "$p" >/dev/null 2>&1 || true
        compgen -G "${p}_*.orig.tar.*" >/dev/null || echo "real-files: no original tarball of $p" >&2
    done)
    touch "$work/src/fetched"
fi
find "$work/tree/sources" -type f -delete
find "$work/src" -maxdepth 1 -name '*.orig.tar.*' ! -name '*.asc' -exec ln -f {} "$work/tree/sources/" \;

# The large tarball: this machine's libraries and documentation, once, compressed fast.
big="$work/tree/big/machine-$big_mb.tar.xz"
if [ ! -f "$big" ]; then
    rm -f "$work/tree/big/"*
    { find /usr/lib /usr/share -xdev -type f -size -64M -print0 2>/dev/null || true; } | python3 -c '
import os, sys
limit, total = int(sys.argv[1]) << 20, 0
for name in sys.stdin.buffer.read().split(b"\0"):
    try: size = os.path.getsize(name)
    except OSError: continue
    if not name or total + size > limit: continue
    total += size
    sys.stdout.buffer.write(name + b"\0")' "$big_mb" >"$work/big.list"
    tar --null -T "$work/big.list" -cf - 2>/dev/null | xz -T "$(nproc)" -0 >"$big.part"
    mv "$big.part" "$big"
fi

# Wine's programs packed by each method UPX has (and --best, --brute on a few), each with a signature
# of 32 bytes of its original code that no other of these programs holds (taken before packing, so
# only an unpacked image can match it), in bases of their own: each packed file must be found by its
# program's signature. UPX 4 is Debian's upx-ucl from bookworm-backports.
find "$work/tree/upx" -type f -delete
rm -rf "$work/upx-bases" && mkdir -p "$work/upx-bases"
if command -v upx >/dev/null; then
    prefix_windows="$sandbox/prefix/drive_c/windows/system32"
    mapfile -t programs < <(find "$prefix_windows" -maxdepth 1 \( -name '*.exe' -o -name '*.dll' \) -size +64k | sort)
    programs=("${programs[@]:0:30}")
    python3 - "${programs[@]}" >"$work/upx-bases/upx.ndb" <<'EOF'
import os, struct, sys
data = {os.path.basename(p): open(p, "rb").read() for p in sys.argv[1:]}
for name, d in data.items():
    pe = struct.unpack_from("<I", d, 0x3C)[0]
    sections, optional = struct.unpack_from("<H", d, pe + 6)[0], struct.unpack_from("<H", d, pe + 20)[0]
    for i in range(sections):
        at = pe + 24 + optional + 40 * i
        size, offset = struct.unpack_from("<II", d, at + 16)
        if not struct.unpack_from("<I", d, at + 36)[0] & 0x20:
            continue
        for start in range(offset + size * 3 // 8, offset + size - 32, 32):
            piece = d[start:start + 32]
            if len(set(piece)) > 8 and sum(piece in other for other in data.values()) == 1:
                print("Upx.%s:1:*:%s" % (name, piece.hex()))
                break
        break
EOF
    for program in "${programs[@]}"; do
        name=$(basename "$program")
        for method in nrv2b nrv2d nrv2e lzma; do
            upx -q "--$method" -o "$work/tree/upx/$method-$name" "$program" >/dev/null 2>&1 || true
        done
    done
    for program in "${programs[@]:0:3}"; do
        upx -q --best -o "$work/tree/upx/best-$(basename "$program")" "$program" >/dev/null 2>&1 || true
        upx -q --brute -o "$work/tree/upx/brute-$(basename "$program")" "$program" >/dev/null 2>&1 || true
    done
else
    echo "real-files: upx is not installed (Debian's upx-ucl from bookworm-backports): the packed programs are left out" >&2
fi

wine_run() { "$root/tools/wine-run.sh" "$sandbox" "$@" 2>/dev/null | tr -d '\r'; }
cp "$build/bin/Bases/ScanMain.DLL" "$work/bases/"
cp "$work/bases"/* "$work/upx-bases/"
now() { date +%s.%N; }
verdicts() {  # stdin: result lines; $1: path prefix to drop; $2: path separator
    sed -n -e "s|^$1||" -e 's/: .* FOUND$/\tFOUND/p' -e 's/: OK$/\tOK/p' -e 's/: Empty file$/\tOK/p' -e 's/: ERROR .*$/\tERROR/p' \
        -e 's/: .* ERROR$/\tERROR/p' | tr "$2" / | sort -t "$(printf '\t')" -k1,1
}

printf '\n%-10s %6s %8s %8s %9s %9s %10s %10s %6s\n' group files 'ours ERR' 'clam ERR' 'ours FND' 'clam FND' 'ours s' 'clam s' differ
: >"$work/all-errors.txt"
for group in debs sources big upx; do
    files=$(find "$work/tree/$group" -type f | wc -l)
    [ "$files" -gt 0 ] || continue
    t0=$(now)
    bases=bases
    [ "$group" != upx ] || bases=upx-bases
    /usr/bin/time -f '%M' -o "$work/$group.peak" "$root/tools/wine-run.sh" "$sandbox" "$build/bin/tervscan.exe" --all-files --no-cure \
        --engine "$win\\$bases" "$win\\tree\\$group" 2>/dev/null | tr -d '\r' >"$work/$group.ours" || true
    t1=$(now)
    clamscan -r --no-summary --heuristic-alerts=no -d "$work/$bases" "$work/tree/$group" >"$work/$group.theirs" 2>/dev/null || true
    t2=$(now)
    verdicts "B:\\\\real-files-data\\\\tree\\\\$group\\\\" '\\' <"$work/$group.ours" >"$work/$group.ov"
    verdicts "$work/tree/$group/" / <"$work/$group.theirs" >"$work/$group.tv"
    join -t "$(printf '\t')" -a1 -a2 -e missing -o 0,1.2,2.2 "$work/$group.ov" "$work/$group.tv" | awk -F '\t' '$2 != $3' >"$work/$group.differ"
    grep ': ERROR' "$work/$group.ours" >>"$work/all-errors.txt" || true
    printf '%-10s %6d %8d %8d %9d %9d %10.1f %10.1f %6d\n' "$group" "$files" \
        "$(grep -c $'\tERROR$' "$work/$group.ov" || true)" "$(grep -c $'\tERROR$' "$work/$group.tv" || true)" \
        "$(grep -c $'\tFOUND$' "$work/$group.ov" || true)" "$(grep -c $'\tFOUND$' "$work/$group.tv" || true)" \
        "$(echo "$t1 - $t0" | bc -l)" "$(echo "$t2 - $t1" | bc -l)" "$(wc -l <"$work/$group.differ")"
    echo "$t0 $t1 $t2" >"$work/$group.times"
done
ours=0 theirs=0
for group in debs sources big upx; do
    [ -f "$work/$group.times" ] || continue
    read -r t0 t1 t2 <"$work/$group.times"
    ours=$(echo "$ours + $t1 - $t0" | bc -l)
    theirs=$(echo "$theirs + $t2 - $t1" | bc -l)
done
printf 'time ours/clamscan: %.2f (goal <= 1)\n' "$(echo "$ours / $theirs" | bc -l)"
[ -f "$work/big.peak" ] && printf 'peak memory of the scan of the %d MB tarball (the Wine process): %d MB (goal < 256)\n' \
    "$big_mb" "$(($(tail -n 1 "$work/big.peak") / 1024))"
if [ -s "$work/upx.ov" ]; then
    # Each packed program found by its own program's signature, per way of packing.
    grep -o '^Upx\.[^:]*' "$work/upx-bases/upx.ndb" | sed 's/^Upx\.//' >"$work/upx.signed"
    printf 'packed programs found by their own signature (of those with one):\n'
    for method in nrv2b nrv2d nrv2e lzma best brute; do
        packed=0 own=0
        while read -r file; do
            packed=$((packed + 1))
            grep -qF "\\$method-$file: Upx.$file FOUND" "$work/upx.ours" && own=$((own + 1))
        done < <(find "$work/tree/upx" -name "$method-*" -printf '%f\n' | sed "s/^$method-//" | grep -Fxf "$work/upx.signed")
        if [ "$packed" -gt 0 ]; then printf '    %-6s %3d of %3d\n' "$method" "$own" "$packed"; fi
    done
fi
if [ -s "$work/all-errors.txt" ]; then
    printf 'our ERROR reasons:\n'
    sed 's/.*: ERROR //' "$work/all-errors.txt" | sed 's/[0-9][0-9]*/N/g' | sort | uniq -c | sort -rn | sed 's/^/    /'
    printf 'the first 20:\n'
    head -20 "$work/all-errors.txt" | sed 's/^/    /'
fi
for group in debs sources big upx; do
    [ -s "$work/$group.differ" ] || continue
    printf 'disagreements in %s (path, ours, clamscan), the first 20:\n' "$group"
    head -20 "$work/$group.differ" | sed 's/^/    /'
done
