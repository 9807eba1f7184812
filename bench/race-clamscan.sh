#!/usr/bin/env bash
# The reference engine (through tervscan.exe under Wine) against clamscan on the same tree and the same
# generated signatures (.ndb bodies and .hdb hashes), with 1,000 and with 10,000 body signatures.
# Prints files per second of each and the ratio, and fails when the two disagree on the infected files.
#   bench/race-clamscan.sh [FILES]     (default 5000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
files=${1:-5000}

source "$root/bench/bench-start.sh"
start_clamscan_bench race-sandbox tervscan refengine
work="$sandbox/drive_d"

python3 "$root/bench/make-race.py" "$work" "$files"

run() { "$root/tools/wine-run.sh" "$sandbox" "$@"; }
now() { date +%s.%N; }
status=0
for set in 1000 10000; do
    bases="$work/bases$set"
    cp "$build/bin/Bases/ScanMain.DLL" "$bases/"
    # Our scan: result lines are the ones that end in FOUND.
    start=$(now)
    run "$build/bin/tervscan.exe" -i --all-files --no-cure --engine "D:\\bases$set" 'D:\tree' >"$work/ours.txt" 2>/dev/null || true
    ours=$(echo "$(now) - $start" | bc -l)
    start=$(now)
    clamscan -r --no-summary --infected -d "$bases/race.ndb" -d "$bases/race.hdb" "$work/tree" >"$work/theirs.txt" 2>/dev/null || true
    theirs=$(echo "$(now) - $start" | bc -l)

    grep ' FOUND' "$work/ours.txt" | sed -e 's/: .* FOUND.*$//' -e 's|^D:\\tree\\||' -e 's|\\|/|g' | sort >"$work/ours.set"
    grep ' FOUND' "$work/theirs.txt" | sed -e 's/: .* FOUND.*$//' -e "s|^$work/tree/||" | sort >"$work/theirs.set"
    count=$(find "$work/tree" -type f | wc -l)
    printf '%5d body signatures: %d files, %d infected by us, %d by clamscan\n' "$set" "$count" \
        "$(wc -l <"$work/ours.set")" "$(wc -l <"$work/theirs.set")"
    printf '   tervscan + reference engine: %7.0f files/s (%.2f s)\n' "$(echo "$count / $ours" | bc -l)" "$ours"
    printf '   clamscan:                    %7.0f files/s (%.2f s)\n' "$(echo "$count / $theirs" | bc -l)" "$theirs"
    printf '   ratio ours/clamscan:         %.2f\n' "$(echo "$theirs / $ours" | bc -l)"
    if diff -q "$work/ours.set" "$work/theirs.set" >/dev/null; then
        echo "   agreement: the same infected files"
    else
        echo "   DISAGREEMENT:"
        diff "$work/ours.set" "$work/theirs.set" | head -20
        status=1
    fi
done
exit $status
