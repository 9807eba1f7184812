#!/usr/bin/env bash
# The windowed scan against the console's on one tree of small files, in one sandbox: the progress
# dialog (its scan from start to end, without the counting pass's one-second head start) and tervscan
# (its own "Time:", with one worker as the window has), both with the same engine: by default one that
# only reads files. Prints both and their ratio (goal: at most 1.3).
#   bench/gui-vs-console.sh [FILES [SIZE [ENGINE]]]
#     FILES: default 20000; SIZE: bytes per file, or "random" (0-4096, the default);
#     ENGINE: readonly (default) or reference (the real engine with its own base)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
files=${1:-20000}
size=${2:-random}
engine=${3:-readonly}
case "$engine" in
readonly) engine_folder='B:\engines\readonly' ;;
reference) engine_folder='B:\bin\Bases' ;;
*) echo "gui-vs-console: ENGINE is readonly or reference" >&2; exit 2 ;;
esac

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan tervan_showcase testengine_readonly refengine >/dev/null

sandbox="$build/bench-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
python3 - "$sandbox/drive_d/tree" "$files" "$size" <<'PY'
import os, random, sys
root, count, size = sys.argv[1], int(sys.argv[2]), sys.argv[3]
random.seed(11)
for i in range(count):
    folder = os.path.join(root, "d%02d" % (i % 40))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(random.randint(0, 4096) if size == "random" else int(size)))
PY

run() { "$root/tools/wine-run.sh" "$sandbox" "$@"; }
best_gui="" best_console=""
for _ in 1 2 3; do
    run "$build/bin/tervan_showcase.exe" timed-scan 'D:\tree' "$engine_folder" 'D:\gui.txt' >/dev/null 2>&1 || true
    gui=$(tr -d '\r\n' <"$sandbox/drive_d/gui.txt")
    console=$(run "$build/bin/tervscan.exe" -i --all-files --no-cure -j 1 --engine "$engine_folder" 'D:\tree' 2>/dev/null |
        tr -d '\r' | awk '/^Time:/ { print $2 }')
    if [ -z "$best_gui" ] || [ "$(echo "$gui < $best_gui" | bc -l)" = 1 ]; then best_gui=$gui; fi
    if [ -z "$best_console" ] || [ "$(echo "$console < $best_console" | bc -l)" = 1 ]; then best_console=$console; fi
done
printf 'files:             %d (%s bytes each, %s engine)\n' "$files" "$size" "$engine"
printf 'progress dialog:   %.2f s (best of three)\n' "$best_gui"
printf 'tervscan:          %.2f s (best of three)\n' "$best_console"
printf 'ratio gui/console: %.2f\n' "$(echo "$best_gui / $best_console" | bc -l)"
