#!/usr/bin/env bash
# Loading a signature container at the size of the public one (about 4,000,000 hashes, 500,000 section
# hashes, 150,000 body and 50,000 logical signatures; bench/make-scale-bases.py): the reference engine
# through a small program that loads ScanMain.DLL (no process start in the figure), and clamscan on the
# same container in the same run. Prints load seconds and peak memory of each, and the ratios.
#   bench/bases-scale.sh [SCALE]      (default 1.0)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
scale=${1:-1.0}

source "$root/bench/bench-start.sh"
start_clamscan_bench scale-bench-sandbox refengine bench_engine
# Made once and kept in the build folder, which the sandbox sees as B:.
work="$build/scale-bench-data"
win='B:\scale-bench-data'
mkdir -p "$work/empty" "$work/bases-$scale"
if [ ! -f "$work/bases-$scale/scale.cud" ]; then
    python3 "$root/bench/make-scale-bases.py" "$work/bases-$scale/scale.cud" "$scale" >"$work/bases-$scale/text-bytes"
fi
printf 'scan me\n' >"$work/sample.txt"
cp "$build/bin/Bases/ScanMain.DLL" "$work/empty/"
cp "$build/bin/Bases/ScanMain.DLL" "$work/bases-$scale/"

run() { "$root/tools/wine-run.sh" "$sandbox" "$build/bin/bench_engine.exe" "$@" 2>/dev/null | tr -d '\r'; }
field() { awk -v what="$1" '$1 == what { print $2; exit }'; }
empty=$(run "$win\\empty" "$win\\sample.txt")
ours=$(run "$win\\bases-$scale" "$win\\sample.txt")
our_load=$(echo "$(echo "$ours" | field load) - $(echo "$empty" | field load)" | bc -l)
our_peak=$(echo "$(echo "$ours" | field peak) - $(echo "$empty" | field peak)" | bc -l)
records=$(echo "$ours" | awk '$1 == "load" { print $3; exit }')

clam() {  # seconds and peak kilobytes of clamscan with a base on the sample
    /usr/bin/time -f '%e %M' clamscan --no-summary -d "$1" "$work/sample.txt" 2>&1 >/dev/null | tail -1
}
printf 'Tiny:0:*:74696e7974696e79\n' >"$work/tiny.ndb"
read -r clam_empty_s clam_empty_kb < <(clam "$work/tiny.ndb")
read -r clam_s clam_kb < <(clam "$work/bases-$scale/scale.cud")
clam_load=$(echo "$clam_s - $clam_empty_s" | bc -l)
clam_peak=$(echo "($clam_kb - $clam_empty_kb) * 1024" | bc -l)

printf 'container: %s bytes of signature text, %s records loaded by ours\n' "$(cat "$work/bases-$scale/text-bytes")" "$records"
printf '%-10s %10s %12s\n' engine load_s peak_MB
printf '%-10s %10.2f %12.0f\n' ours "$our_load" "$(echo "$our_peak / 1048576" | bc -l)"
printf '%-10s %10.2f %12.0f\n' clamscan "$clam_load" "$(echo "$clam_peak / 1048576" | bc -l)"
printf 'load: clamscan takes %.2fx our time; memory: ours is %.2f of clamscan'"'"'s\n' \
    "$(echo "$clam_load / $our_load" | bc -l)" "$(echo "$our_peak / $clam_peak" | bc -l)"
echo "Both net of the same engine with (next to) no signatures; ours without process start."
