#!/usr/bin/env bash
# What an update costs: bytes fetched and time for a check of current bases, a one-day patch and a
# whole-base fetch, against a local mirror whose daily base is about the size of the public one.
# Prints each, and the patch's and the check's share of the whole fetch. Not in the suite.
#   bench/update-speed.sh [HASH_SIGNATURES]     (default 2,000,000: a daily.cvd of about 50 MB)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
count=${1:-2000000}

bash "$root/tools/setup.sh" >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan refengine >/dev/null

sandbox="$build/update-speed-sandbox" work="$build/update-speed"
rm -rf "$work" && mkdir -p "$work"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap 'UPDATE_MIRROR_DIR="$work/served" bash "$root/tests/update/mirror.sh" stop "$build" "$sandbox"; "$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
UPDATE_MIRROR_HASHES=$count UPDATE_MIRROR_DIR="$work/served" bash "$root/tests/update/mirror.sh" start "$build" "$sandbox"
ln -s served/mirror "$work/mirror"
ln -s served/port "$work/port"
port=$(cat "$work/port")
echo "daily.cvd on the mirror: $(stat -c %s "$work/mirror/good/daily.cvd") bytes"

# run LABEL MIRROR LOCAL_VERSION: one update from a fresh folder; prints bytes fetched and seconds.
run() {
    rm -rf "$work/bases" && mkdir -p "$work/bases"
    cp "$build/bin/Bases/ScanMain.DLL" "$work/bases/"
    printf '[update]\r\nmirror=http://127.0.0.1:%s/%s/\r\nbases=daily\r\n' "$port" "$2" >"$work/bases/refengine.ini"
    [ "$3" != 0 ] && cp "$work/mirror/local/daily-$3.cvd" "$work/bases/daily.cvd"
    local start end out
    start=$(date +%s.%N)
    out=$("$root/tools/wine-run.sh" "$sandbox" "$build/bin/tervscan.exe" --update --engine 'B:\update-speed\bases' 2>&1)
    end=$(date +%s.%N)
    bytes=$(sed -n 's/.*fetched \([0-9]*\) bytes$/\1/p' <<<"$out" | tail -1)
    seconds=$(echo "$end - $start" | bc)
    printf '%-28s %12s bytes %8.2f s   (%s)\n' "$1" "$bytes" "$seconds" "$(tail -1 <<<"$out")"
    eval "${4}_bytes=$bytes ${4}_seconds=$seconds"
}
run "whole base (none local)" whole 0 whole
run "one-day patch (3 -> 4)" good 3 patch
run "current (4, check only)" good 4 current
echo "patch / whole: bytes $(echo "scale=5; $patch_bytes / $whole_bytes" | bc), time $(echo "scale=3; $patch_seconds / $whole_seconds" | bc)"
echo "check / whole: bytes $(echo "scale=6; $current_bytes / $whole_bytes" | bc), time $(echo "scale=3; $current_seconds / $whole_seconds" | bc)"
