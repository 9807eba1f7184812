#!/usr/bin/env bash
# Fuzzes the reference engine: mutated archives (100,000 by default) and malformed base files (10,000),
# in batches of a fuzzing program under Wine; a batch that does not finish cleanly is a crash. Prints
# crashes, scans that stalled over ten seconds, the slowest one and the peak working set (all must
# stay at 0, and under 300 MB).
#   bench/fuzz-engine.sh [ARCHIVES] [BASES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
archives=${1:-100000}
bases=${2:-10000}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_fuzz >/dev/null
sandbox="$build/fuzz-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT

crashes=0 stalls=0 slowest=0 peak=0 done_total=0
batch() {  # mode count seed
    local out
    if out=$("$root/tools/wine-run.sh" "$sandbox" "$build/bin/bench_fuzz.exe" "$1" "$2" "$3" 2>/dev/null | tr -d '\r') &&
        [[ $out == done* ]]; then
        read -r _ n _ s _ slow _ p <<<"$out"
        done_total=$((done_total + n)) stalls=$((stalls + s))
        if [ "$(echo "$slow > $slowest" | bc -l)" = 1 ]; then slowest=$slow; fi
        if [ "$p" -gt "$peak" ]; then peak=$p; fi
    else
        crashes=$((crashes + 1))
        echo "crash: $1 batch of $2 with seed $3"
    fi
}
for seed in $(seq 1 $((archives / 10000))); do batch archives 10000 "$seed"; done
echo "archives: $done_total scanned"
done_total=0
for seed in $(seq 1 $((bases / 1000))); do batch bases 1000 "$((seed + 1000))"; done
echo "bases: $done_total loaded and used"
printf 'crashes: %d, stalls over 10 s: %d, slowest: %.3f s, peak working set: %.1f MB\n' \
    "$crashes" "$stalls" "$slowest" "$(echo "$peak / 1048576" | bc -l)"
