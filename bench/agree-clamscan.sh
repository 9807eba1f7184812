#!/usr/bin/env bash
# Does the reference engine flag what clamscan flags? Generates, per signature type, bases and files
# (bench/make-agreement.py: generated files, PE files built here, and clamav-testfiles' clam.exe alone
# and in a ZIP), scans them with tervscan.exe under Wine and with clamscan, and prints per
# type the files both flag, only ours and only clamscan's. Fails on any difference.
#   bench/agree-clamscan.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}

source "$root/bench/bench-start.sh"
start_clamscan_bench agree-sandbox --testfiles tervscan refengine
work="$sandbox/drive_d/agree"
rm -rf "$work" && mkdir -p "$work"
types=$(python3 "$root/bench/make-agreement.py" "$work" i686-w64-mingw32-gcc)

status=0
printf '%-8s %6s %6s %9s %14s\n' type files both "only ours" "only clamscan"
for type in $types; do
    cp "$build/bin/Bases/ScanMain.DLL" "$work/$type/bases/"
    "$root/tools/wine-run.sh" "$sandbox" "$build/bin/tervscan.exe" -i --all-files --no-cure \
        --engine "D:\\agree\\$type\\bases" "D:\\agree\\$type\\files" >"$work/$type/ours.txt" 2>/dev/null || true
    clamscan -r --no-summary --infected --heuristic-alerts=no -d "$work/$type/bases" "$work/$type/files" \
        >"$work/$type/theirs.txt" 2>/dev/null || true
    grep ' FOUND' "$work/$type/ours.txt" | sed -e 's/: .* FOUND.*$//' -e 's|^.*\\||' | sort >"$work/$type/ours.set" || true
    grep ' FOUND' "$work/$type/theirs.txt" | sed -e 's/: .* FOUND.*$//' -e 's|^.*/||' | sort >"$work/$type/theirs.set" || true
    both=$(comm -12 "$work/$type/ours.set" "$work/$type/theirs.set" | wc -l)
    ours=$(comm -23 "$work/$type/ours.set" "$work/$type/theirs.set" | wc -l)
    theirs=$(comm -13 "$work/$type/ours.set" "$work/$type/theirs.set" | wc -l)
    printf '%-8s %6d %6d %9d %14d\n' "$type" "$(ls "$work/$type/files" | wc -l)" "$both" "$ours" "$theirs"
    if [ "$ours" -ne 0 ] || [ "$theirs" -ne 0 ]; then
        status=1
        comm -23 "$work/$type/ours.set" "$work/$type/theirs.set" | sed 's/^/    only ours: /'
        comm -13 "$work/$type/ours.set" "$work/$type/theirs.set" | sed 's/^/    only clamscan: /'
    fi
    if grep -q ' ERROR' "$work/$type/ours.txt"; then
        grep ' ERROR' "$work/$type/ours.txt" | sed 's/^/    not scanned: /'
        status=1
    fi
done
exit $status
