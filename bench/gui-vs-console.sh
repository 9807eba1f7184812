#!/usr/bin/env bash
# The windowed scan against the console's on one tree of small files, in one sandbox: the progress
# dialog (its scan from start to end, without the counting pass's one-second head start) and tervscan
# (its own "Time:", with one worker as the window has), both with an engine that only reads files. Prints both and their ratio (goal: at
# most 1.3).
#   bench/gui-vs-console.sh [FILES]      (default 20000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
files=${1:-20000}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan tervan_showcase testengine_readonly >/dev/null

sandbox="$build/bench-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
python3 - "$sandbox/drive_d/tree" "$files" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
random.seed(11)
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 40))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(random.randint(0, 4096)))
PY

run() { "$root/tools/wine-run.sh" "$sandbox" "$@"; }
best_gui="" best_console=""
for _ in 1 2 3; do
    run "$build/bin/tervan_showcase.exe" timed-scan 'D:\tree' 'B:\engines\readonly' 'D:\gui.txt' >/dev/null 2>&1 || true
    gui=$(tr -d '\r\n' <"$sandbox/drive_d/gui.txt")
    console=$(run "$build/bin/tervscan.exe" -i --all-files --no-cure -j 1 --engine 'B:\engines\readonly' 'D:\tree' 2>/dev/null |
        tr -d '\r' | awk '/^Time:/ { print $2 }')
    if [ -z "$best_gui" ] || [ "$(echo "$gui < $best_gui" | bc -l)" = 1 ]; then best_gui=$gui; fi
    if [ -z "$best_console" ] || [ "$(echo "$console < $best_console" | bc -l)" = 1 ]; then best_console=$console; fi
done
printf 'files:             %d\n' "$files"
printf 'progress dialog:   %.2f s (best of three)\n' "$best_gui"
printf 'tervscan:          %.2f s (best of three)\n' "$best_console"
printf 'ratio gui/console: %.2f\n' "$(echo "$best_gui / $best_console" | bc -l)"
