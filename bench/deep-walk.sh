#!/usr/bin/env bash
# What a folder chain costs by its depth: chains of each depth given (one small file at every level)
# scanned by tervscan under Wine; prints the seconds, the time to the first result line and the ratio
# to the depth before (at most 2 per doubling is linear; Wine itself pays for every folder it lists a
# lookup of every drive along the whole path, which no walk can avoid, so under Wine expect more).
#   bench/deep-walk.sh [DEPTH...]     (default 250 500 1000 2000)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
depths=("$@")
[ ${#depths[@]} -eq 0 ] && depths=(250 500 1000 2000)

bash "$root/tools/setup.sh" --programs >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan tervan_test_engines >/dev/null || exit 1
sandbox="$build/deep-walk-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
engine='B:\engines\test'

printf '%8s %10s %12s %10s\n' depth seconds "first line" ratio
previous=""
for depth in "${depths[@]}"; do
    tree="$sandbox/drive_d/chain$depth"
    rm -rf "$tree"
    path=$tree
    for _ in $(seq "$depth"); do path=$path/d; done
    mkdir -p "$path"
    path=$tree
    for _ in $(seq "$depth"); do path=$path/d; echo clean >"$path/f.txt"; done
    start=$(date +%s.%N) first=""
    while IFS= read -r line; do
        [ -z "$first" ] && [[ "$line" == *": OK"* ]] && first=$(echo "$(date +%s.%N) - $start" | bc)
    done < <("$root/tools/wine-run.sh" "$sandbox" "$build/bin/tervscan.exe" --engine "$engine" "D:\\chain$depth" 2>&1)
    seconds=$(echo "$(date +%s.%N) - $start" | bc)
    ratio=$([ -n "$previous" ] && echo "scale=2; $seconds / $previous" | bc || echo -)
    printf '%8s %10.2f %12s %10s\n' "$depth" "$seconds" "${first:-none}" "$ratio"
    previous=$seconds
    rm -rf "$tree"
done
