#!/usr/bin/env bash
# Files per second of a whole scan (tervscan.exe with a test engine that only reads files) against a
# minimal program that walks the same tree and reads every file, in one sandbox and one run.
# Prints both rates and the ratio scan/baseline (the console's scan has no head start).
#   bench/scan-throughput.sh [FILES]      (default 20000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
files=${1:-20000}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan bench_walkread testengine_readonly >/dev/null

sandbox="$build/bench-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT

tree="$sandbox/drive_d/tree"
python3 - "$tree" "$files" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
random.seed(7)
exts = [".exe", ".dll", ".txt", ".doc", ".js", ".bin", ".sys", ".html"]
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 50), "s%02d" % (i % 7))
    os.makedirs(folder, exist_ok=True)
    r = random.random()
    size = random.randint(0, 2048) if r < 0.6 else random.randint(2048, 65536) if r < 0.97 else random.randint(65536, 1 << 20)
    body = b"TVE:DETECT 1 Bench.Virus\n" if i % 1000 == 0 else b""
    with open(os.path.join(folder, "f%05d%s" % (i, random.choice(exts))), "wb") as f:
        f.write(body + os.urandom(max(0, size - len(body))))
PY

run() { "$root/tools/wine-run.sh" "$sandbox" "$@"; }
now() { date +%s.%N; }
best_of() {  # best wall time of three runs of a command, in seconds
    local best="" start end t
    for _ in 1 2 3; do
        start=$(now); "$@" >/dev/null 2>&1 || true; end=$(now)
        t=$(echo "$end - $start" | bc -l)
        if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
    done
    echo "$best"
}

run "$build/bin/bench_walkread.exe" 'D:\tree' >/dev/null  # warm the file cache
counted=$(run "$build/bin/bench_walkread.exe" 'D:\tree' | tr -d '\r')
baseline=$(best_of run "$build/bin/bench_walkread.exe" 'D:\tree')
scan=$(best_of run "$build/bin/tervscan.exe" -i --all-files --no-cure --engine 'B:\engines\readonly' 'D:\tree')

printf 'files in tree:       %d\n' "$counted"
printf 'baseline walk+read:  %.0f files/s (%.2f s)\n' "$(echo "$counted / $baseline" | bc -l)" "$baseline"
printf 'tervscan scan:       %.0f files/s (%.2f s, detections only, as before OK lines)\n' "$(echo "$counted / $scan" | bc -l)" "$scan"
printf 'ratio scan/baseline: %.2f\n' "$(echo "($counted / $scan) / ($counted / $baseline)" | bc -l)"
