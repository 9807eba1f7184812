#!/usr/bin/env bash
# How fast tervscan answers for one file: 20 one-file scans against 20 starts of a program that does
# nothing, in one sandbox and one run (the process start under Wine is the floor). Prints both and
# their ratio (goal: at most 1.5).
#   bench/one-file.sh [RUNS]      (default 20)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
runs=${1:-20}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target package_dist bench_trivial >/dev/null

sandbox="$build/bench-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
printf 'MZ just some bytes of a file to check\n' >"$sandbox/drive_d/one.exe"

run() { "$root/tools/wine-run.sh" "$sandbox" "$@" >/dev/null 2>&1 || true; }
now() { date +%s.%N; }
timed() {  # total wall time of RUNS runs of a command
    local start end
    start=$(now)
    for _ in $(seq "$runs"); do run "$@"; done
    end=$(now)
    echo "$end - $start" | bc -l
}

run "$build/bin/bench_trivial.exe"  # warm the prefix
run "$build/dist/TervanScanner/tervscan.exe" --no-cure 'D:\one.exe'
trivial=$(timed "$build/bin/bench_trivial.exe")
scan=$(timed "$build/dist/TervanScanner/tervscan.exe" --no-cure 'D:\one.exe')
printf 'trivial program:  %.3f s a run\n' "$(echo "$trivial / $runs" | bc -l)"
printf 'one-file scan:    %.3f s a run (the packaged tervscan, reference engine)\n' "$(echo "$scan / $runs" | bc -l)"
printf 'ratio scan/trivial: %.2f\n' "$(echo "$scan / $trivial" | bc -l)"
