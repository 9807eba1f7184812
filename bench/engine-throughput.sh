#!/usr/bin/env bash
# Body-signature matching speed of the reference engine, whatever the number of signatures: 1, 10,000,
# 100,000 and 300,000 generated body signatures; a file of random bytes, an adversarial file (signature
# fragments and repeated prefixes) and a tree of small files. A small program loads ScanMain.DLL through
# the engine binding and times the load and each scan (no process start, no head start); clamscan scans
# the same files with the same signatures in the same run.
#   bench/engine-throughput.sh [MEGABYTES]      (default 100)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
megabytes=${1:-100}

source "$root/bench/bench-start.sh"
start_clamscan_bench engine-bench-sandbox refengine bench_engine
engine_bench_data "$megabytes"
mkdir -p "$work/sigs-0"
for set in 0 1 10000 100000 300000; do
    cp "$build/bin/Bases/ScanMain.DLL" "$work/sigs-$set/"
done

run() { "$root/tools/wine-run.sh" "$sandbox" "$build/bin/bench_engine.exe" "$@" 2>/dev/null | tr -d '\r'; }
field() {  # load and peak: their first number; scan lines: the best seconds of the named file
    awk -v what="$1" -v name="$2" '$1 == what && (name == "" || index($2, name)) {
        v = (what == "scan" ? $3 : $2); if (best == "" || v + 0 < best + 0) best = v; if (what != "scan") exit }
        END { print best }'
}
clam() {  # seconds of clamscan on a file with a base
    local start end
    start=$(date +%s.%N)
    clamscan --no-summary --max-filesize=4000M --max-scansize=4000M -d "$1" "$2" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

empty=$(run "$win\\sigs-0" "$win\\random.bin")
base_peak=$(echo "$empty" | field peak "")
base_load=$(echo "$empty" | field load "")
printf '%-9s %9s %9s %9s %9s %9s %10s %8s %9s %9s\n' sigs load_s mem_x random_s MB/s ratio_1 advers_x small_s clam_s ours/clam
one_random=""
for set in 1 10000 100000 300000; do
    # Each file three times in one process; the best time counts (the machines are noisy).
    out=$(run "$win\\sigs-$set" "$win\\random.bin" "$win\\adversarial.bin" "$win\\random.bin" "$win\\adversarial.bin" \
        "$win\\random.bin" "$win\\adversarial.bin" "$win\\small")
    load=$(echo "$out" | field load "")
    random=$(echo "$out" | field scan random.bin)
    adversarial=$(echo "$out" | field scan adversarial.bin)
    small=$(echo "$out" | field scan small)
    peak=$(echo "$out" | field peak "")
    verdict=$(echo "$out" | awk '$2 ~ /adversarial/ { print $5; exit }')
    [ -n "$one_random" ] || one_random=$random
    text=$(stat -c %s "$work/sigs-$set/bench.ndb")
    clam_random=$(clam "$work/sigs-$set/bench.ndb" "$work/random.bin")
    printf '%-9s %9.3f %9.2f %9.3f %9.0f %9.2f %10.2f %8.3f %9.2f %9.1f\n' "$set" \
        "$(echo "$load - $base_load" | bc -l)" "$(echo "($peak - $base_peak) / $text" | bc -l)" "$random" \
        "$(echo "$megabytes / $random" | bc -l)" "$(echo "$random / $one_random" | bc -l)" \
        "$(echo "$adversarial / $random" | bc -l)" "$small" "$clam_random" "$(echo "$clam_random / $random" | bc -l)"
    [ "$set" = 1 ] || [ "$verdict" = detected ] || echo "   the adversarial file's true match was NOT found ($verdict)"
done
# The ratio to one signature once more, both engines in one process, each file scanned by one and then
# the other (five times; the best of each): the two times come from the same moment of the machine.
mkdir -p "$work/sigs-1-pair"
cp "$work/sigs-1/"* "$work/sigs-1-pair/"
for set in 100000 300000; do
    out=$("$root/tools/wine-run.sh" "$sandbox" "$build/bin/bench_engine.exe" --pair "$win\\sigs-1-pair" "$win\\sigs-$set" \
        "$win\\random.bin" "$win\\random.bin" "$win\\random.bin" "$win\\random.bin" "$win\\random.bin" 2>/dev/null | tr -d '\r')
    echo "$out" | awk -v set="$set" '$1 == "pair" { if (a == "" || $3 < a) a = $3; if (b == "" || $4 < b) b = $4 }
        END { printf "same process: %s signatures %.3f s, one signature %.3f s, ratio %.2f\n", set, b, a, b / a }'
done
echo "load_s: load time net of an engine without bases; mem_x: peak working set net of that, over the"
echo "size of the signature text; ratio_1: random-file time over the time with one signature; advers_x:"
echo "adversarial-file time over the random-file time; ours/clam: clamscan's time over ours (random file)."
