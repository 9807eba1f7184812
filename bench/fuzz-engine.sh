#!/usr/bin/env bash
# Fuzzes the reference engine: mutated ZIP archives (100,000 by default), malformed base files
# (10,000), and mutations of an archive of every family the engine opens (the samples of the tests,
# tests/refengine/data/archives: 100,000 each), in batches of a fuzzing program under Wine; a batch
# that does not finish cleanly is a crash. Prints, per family and in all, the crashes, the scans that
# stalled over ten seconds, the slowest one and the peak working set (all must stay at 0, and under
# 300 MB).
#   bench/fuzz-engine.sh [ARCHIVES] [BASES] [PER_FAMILY]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
archives=${1:-100000}
bases=${2:-10000}
per_family=${3:-100000}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target bench_fuzz refengine_tests >/dev/null
sandbox="$build/fuzz-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT

crashes=0 stalls=0 slowest=0 peak=0 done_total=0
batch() {  # mode [file] count seed
    local out
    if out=$("$root/tools/wine-run.sh" "$sandbox" "$build/bin/bench_fuzz.exe" "$@" 2>/dev/null | tr -d '\r') &&
        [[ $out == done* ]]; then
        read -r _ n _ s _ slow _ p <<<"$out"
        done_total=$((done_total + n)) stalls=$((stalls + s))
        if [ "$(echo "$slow > $slowest" | bc -l)" = 1 ]; then slowest=$slow; fi
        if [ "$p" -gt "$peak" ]; then peak=$p; fi
    else
        crashes=$((crashes + 1))
        echo "crash: bench_fuzz $*"
    fi
}
for seed in $(seq 1 $((archives / 10000))); do batch archives 10000 "$seed"; done
echo "archives: $done_total scanned"
done_total=0
for seed in $(seq 1 $((bases / 1000))); do batch bases 1000 "$((seed + 1000))"; done
echo "bases: $done_total loaded and used"
# The samples as the build has them beside the tests (B: is the build folder).
for sample in "$build"/bin/testdata/archives/*.bin; do
    name=$(basename "$sample" .bin)
    windows="B:\\$(echo "${sample#"$build/"}" | tr / '\\')"
    before=$crashes
    done_total=0
    for seed in $(seq 1 $(((per_family + 9999) / 10000))); do
        batch family "$windows" 10000 "$seed"
    done
    printf '%-24s %8d mutations, %d crashes\n' "$name" "$done_total" "$((crashes - before))"
done
printf 'crashes: %d, stalls over 10 s: %d, slowest: %.3f s, peak working set: %.1f MB\n' \
    "$crashes" "$stalls" "$slowest" "$(echo "$peak / 1048576" | bc -l)"
