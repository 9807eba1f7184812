#!/usr/bin/env bash
# Mail, web pages and office documents (bench/make-documents.py: 10,000 files, each different) scanned
# by the reference engine (tervscan.exe under Wine) and by clamscan, both with the real public base
# (../shared/realbase/, or REALBASE=folder), in the same run. Prints each one's time net of loading
# its bases, the files each flagged or could not scan, and the ratio.
#   bench/documents-speed.sh [FILES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
realbase=${REALBASE:-$root/../shared/realbase}
files=${1:-10000}

source "$root/bench/bench-start.sh"
command -v msibuild >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends msitools >/dev/null
start_clamscan_bench documents-sandbox tervscan refengine
work="$build/documents-data"
win='B:\documents-data'
if [ ! -f "$work/made-$files" ]; then
    rm -rf "$work" && mkdir -p "$work"
    python3 "$root/bench/make-documents.py" "$work/tree" "$files"
    touch "$work/made-$files"
fi
rm -rf "$work/bases" "$work/ours" && mkdir -p "$work/bases" "$work/ours"
for f in "$realbase"/*.gz; do gzip -dc "$f" >"$work/bases/$(basename "$f" .gz)"; done
cp "$work/bases"/* "$build/bin/Bases/ScanMain.DLL" "$work/ours/"
printf 'scan me\n' >"$work/sample.txt"
printf 'documents: %d files, %d MB\n' "$(find "$work/tree" -type f | wc -l)" "$(du -sm "$work/tree" | cut -f1)"

now() { date +%s.%N; }
wine_run() { "$root/tools/wine-run.sh" "$sandbox" "$@" 2>/dev/null | tr -d '\r'; }
t0=$(now); wine_run "$build/bin/tervscan.exe" --engine "$win\\ours" "$win\\sample.txt" >/dev/null || true; t1=$(now)
t2=$(now); wine_run "$build/bin/tervscan.exe" --all-files --no-cure --engine "$win\\ours" "$win\\tree" >"$work/ours.txt" || true; t3=$(now)
ours=$(echo "($t3 - $t2) - ($t1 - $t0)" | bc -l)
t0=$(now); clamscan --no-summary -d "$work/bases" "$work/sample.txt" >/dev/null || true; t1=$(now)
t2=$(now); clamscan -r --no-summary --heuristic-alerts=no -d "$work/bases" "$work/tree" >"$work/theirs.txt" 2>/dev/null || true; t3=$(now)
theirs=$(echo "($t3 - $t2) - ($t1 - $t0)" | bc -l)

printf '\n%-28s %12s %12s\n' '' ours clamscan
printf '%-28s %12.1f %12.1f\n' 'scan s (net of load)' "$ours" "$theirs"
printf '%-28s %12d %12d\n' 'FOUND' "$(grep -c ' FOUND$' "$work/ours.txt" || true)" "$(grep -c ' FOUND$' "$work/theirs.txt" || true)"
printf '%-28s %12d %12d\n' 'ERROR (not fully scanned)' "$(grep -c ': ERROR' "$work/ours.txt" || true)" "$(grep -c 'ERROR$' "$work/theirs.txt" || true)"
grep ': ERROR' "$work/ours.txt" | head -5 | sed 's/^/    /' || true
printf 'ratio ours/clamscan: scan %.2f (goal <= 0.5)\n' "$(echo "$ours / $theirs" | bc -l)"
