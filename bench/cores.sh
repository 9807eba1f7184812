#!/usr/bin/env bash
# The console's scan on both cores against the floor of any scan, on a large tree of real files: the
# machine's libraries, headers and documentation and Wine's own Windows DLLs (hard links where
# possible, made once in the build folder; CORES_TREE=folder takes another, given as a path under the
# build folder). Three interleaved rounds of: the bare walk (list; list and open; list, open and read
# every byte: the floor), tervscan -j 1 and -j 2 with an engine that only reads files, with the
# reference engine and no signatures, with 1,000 body signatures and with the real public base, and
# clamscan with the same 1,000 signatures. Prints min and median of each and the ratios: the split of
# the cost per file, 2 workers against 1, the scans against the floor, and the matcher's own cost.
#   bench/cores.sh      CORES_CLAMSCAN=0 leaves clamscan out (it takes minutes); CORES_ROUNDS=3
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
realbase=${REALBASE:-$root/../shared/realbase}
clam=${CORES_CLAMSCAN:-1}

source "$root/bench/bench-start.sh"
if [ "$clam" = 1 ]; then start_clamscan_bench cores-sandbox tervscan refengine bench_walkread testengine_readonly
else start_bench cores-sandbox tervscan refengine bench_walkread testengine_readonly; fi
engine_bench_data 1
data=$work
work="$build/cores-data"
win='B:\cores-data'
mkdir -p "$work"

# Engine folders: no signatures, the first 1,000 of the benchmark's body signatures, the real base.
rm -rf "$work/none" "$work/sigs" "$work/real"
mkdir -p "$work/none" "$work/sigs" "$work/real"
head -n 1000 "$data/sigs-10000/bench.ndb" >"$work/sigs/bench.ndb"
for f in "$realbase"/*.gz; do gzip -dc "$f" >"$work/real/$(basename "$f" .gz)"; done
for d in none sigs real; do cp "$build/bin/Bases/ScanMain.DLL" "$work/$d/"; done

tree="$work/tree"
if [ -n "${CORES_TREE:-}" ]; then
    tree=$CORES_TREE
elif [ ! -f "$work/tree-made-2" ]; then
    rm -rf "$tree"
    mkdir -p "$tree"
    for d in /usr/lib/x86_64-linux-gnu /usr/lib/gcc /usr/lib/python3 /usr/i686-w64-mingw32 /usr/include /usr/share/doc \
        /usr/share/man /usr/share/locale /usr/share/icons /usr/lib/i386-linux-gnu/wine/i386-windows \
        /usr/lib/i386-linux-gnu/wine/x86_64-windows; do
        [ -d "$d" ] || continue
        to="$tree/$(echo "${d#/}" | tr / _)"
        cp -al "$d" "$to" 2>/dev/null || cp -a "$d" "$to"
    done
    # Regular files only: a link would lead the walk out of the drive.
    find "$tree" ! -type f ! -type d -delete
    touch "$work/tree-made-2"
fi
wtree="B:\\$(realpath --relative-to="$build" "$tree" | tr / '\\')"
files=$(find "$tree" -type f | wc -l)
megabytes=$(du -sm "$tree" | cut -f1)
printf 'tree: %d files, %d MB (%s)\n' "$files" "$megabytes" "$tree"

run() { "$root/tools/wine-run.sh" "$sandbox" "$@" >/dev/null 2>&1 || true; }
now() { date +%s.%N; }
declare -A times
measure() {  # measure NAME COMMAND...: appends the wall time of one run
    local name=$1 start end
    shift
    start=$(now); "$@"; end=$(now)
    times[$name]="${times[$name]:-} $(echo "$end - $start" | bc -l)"
    printf '  %-12s %6.2fs\n' "$name" "$(echo "$end - $start" | bc -l)" >&2
}
walk() { run "$build/bin/bench_walkread.exe" "$@" "$wtree"; }
scan() {  # scan ENGINE_FOLDER WORKERS
    run "$build/bin/tervscan.exe" -i --all-files --no-cure -j "$2" --engine "$1" "$wtree"
}
start_only() { run "$build/bin/tervscan.exe" --engine "$win\\real" --version; }
clamscan_sigs() { clamscan -r -i --no-summary -d "$work/sigs/bench.ndb" "$tree" >/dev/null 2>&1 || true; }

configs=(list open floor readonly-1 readonly-2 none-1 none-2 sigs-1 sigs-2 real-load real-1 real-2)
[ "$clam" = 1 ] && configs+=(clamscan)
walk >/dev/null  # the file cache warmed
for round in $(seq "${CORES_ROUNDS:-3}"); do
    measure list walk --list
    measure open walk --open
    measure floor walk
    for j in 1 2; do
        measure readonly-$j scan 'B:\engines\readonly' $j
        measure none-$j scan "$win\\none" $j
        measure sigs-$j scan "$win\\sigs" $j
        measure real-$j scan "$win\\real" $j
    done
    measure real-load start_only
    [ "$clam" = 1 ] && measure clamscan clamscan_sigs
    echo "round $round done" >&2
done

stat_of() {  # stat_of NAME min|median
    echo "${times[$1]}" | tr ' ' '\n' | sed '/^$/d' | sort -g | awk -v what="$2" \
        '{ v[NR] = $1 } END { print (what == "min" ? v[1] : (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2) }'
}
printf '\n%-12s %9s %9s\n' run min median
for c in "${configs[@]}"; do printf '%-12s %8.2fs %8.2fs\n' "$c" "$(stat_of "$c" min)" "$(stat_of "$c" median)"; done
m() { stat_of "$1" median; }
ratio() { echo "$(m "$1") / $(m "$2")" | bc -l; }
printf '\nper file (median, ms per 1,000 files): walk %.1f, open+close %.1f, read %.1f\n' \
    "$(echo "$(m list) * 1000000 / $files" | bc -l)" "$(echo "($(m open) - $(m list)) * 1000000 / $files" | bc -l)" \
    "$(echo "($(m floor) - $(m open)) * 1000000 / $files" | bc -l)"
printf 'scan -j 1 over the floor: readonly engine %.2f, no signatures %.2f, 1,000 signatures %.2f\n' \
    "$(ratio readonly-1 floor)" "$(ratio none-1 floor)" "$(ratio sigs-1 floor)"
printf '2 workers / 1 worker (goal <= 0.55): readonly engine %.2f, no signatures %.2f, 1,000 signatures %.2f, real base %.2f\n' \
    "$(ratio readonly-2 readonly-1)" "$(ratio none-2 none-1)" "$(ratio sigs-2 sigs-1)" \
    "$(echo "($(m real-2) - $(m real-load)) / ($(m real-1) - $(m real-load))" | bc -l)"
printf 'scan -j 2 with 1,000 signatures / floor (goal <= 1.3): %.2f\n' "$(ratio sigs-2 floor)"
printf 'real base -j 2: load %.2fs, scan net of load %.2fs = %.2f x floor; the matcher'"'"'s own cost (real - no signatures, net of load): %.2fs\n' \
    "$(m real-load)" "$(echo "$(m real-2) - $(m real-load)" | bc -l)" \
    "$(echo "($(m real-2) - $(m real-load)) / $(m floor)" | bc -l)" \
    "$(echo "$(m real-2) - $(m real-load) - $(m none-2)" | bc -l)"
[ "$clam" = 1 ] && printf 'clamscan / tervscan -j 2, 1,000 signatures: %.2f\n' "$(ratio clamscan sigs-2)"
exit 0
