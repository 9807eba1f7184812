#!/usr/bin/env bash
# The real public base on real files nobody here wrote: the reference engine (through tervscan.exe
# under Wine) and clamscan, same bases, same tree, same run. The bases are ../shared/realbase/ (or
# REALBASE=folder) unpacked, plus any base files named as arguments (a daily .ndb, ...). The tree: the
# sandbox prefix's own C:\windows, Debian's clamav-testfiles and about 1 GB of this machine's program,
# library and documentation folders (hard links or copies of regular files; made once, kept in the
# build folder). Prints files, our ERROR count, every disagreement, times net of loading, load times,
# peak memory, the largest share of a work limit any file used, and the ratios.
#   bench/real-base.sh [EXTRA_BASE_FILE...]
#   REAL_BASE_LINUX_MB=1024   size of the Linux part of the tree
#   REAL_BASE_REUSE_CLAMSCAN=1   clamscan's verdicts and figures of the last run, when there are any
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
realbase=${REALBASE:-$root/../shared/realbase}
linux_mb=${REAL_BASE_LINUX_MB:-1024}

source "$root/bench/bench-start.sh"
start_clamscan_bench real-base-sandbox --testfiles tervscan refengine bench_engine
work="$build/real-base-data"
win='B:\real-base-data'
mkdir -p "$work"

# The bases: once for clamscan, once beside our DLL.
rm -rf "$work/bases" "$work/ours" "$work/empty"
mkdir -p "$work/bases" "$work/ours" "$work/empty"
for f in "$realbase"/*.gz; do gzip -dc "$f" >"$work/bases/$(basename "$f" .gz)"; done
for f in "$@"; do cp "$f" "$work/bases/"; done
cp "$work/bases"/* "$work/ours/"
cp "$build/bin/Bases/ScanMain.DLL" "$work/ours/"
cp "$build/bin/Bases/ScanMain.DLL" "$work/empty/"

# The tree, made once: regular files only (a link would lead the walk out of the drive).
tree="$work/tree"
if [ ! -f "$work/tree-made-$linux_mb" ]; then
    rm -rf "$tree" "$work"/tree-made-*
    mkdir -p "$tree"
    place() {  # place SOURCE_ROOT DEST [MAX_BYTES]: hard links where possible, else copies
        local from=$1 to=$2 max=${3:-0} total=0 f size
        while IFS= read -r -d '' f; do
            size=$(stat -c %s "$f")
            if [ "$max" -gt 0 ] && [ $((total + size)) -gt "$max" ]; then continue; fi
            mkdir -p "$to/$(dirname "${f#"$from"/}")"
            ln "$f" "$to/${f#"$from"/}" 2>/dev/null || cp "$f" "$to/${f#"$from"/}"
            total=$((total + size))
        done < <(find "$from" -type f -print0 | sort -z)
    }
    place "$sandbox/prefix/drive_c/windows" "$tree/windows"
    place /usr/share/clamav-testfiles "$tree/clamav-testfiles"
    per=$((linux_mb * 1048576 / 4))
    for d in /usr/bin /usr/lib/x86_64-linux-gnu /usr/share/doc /usr/lib/python3; do
        [ -d "$d" ] && place "$d" "$tree/linux$(echo "$d" | tr / _)" "$per"
    done
    touch "$work/tree-made-$linux_mb"
fi
files=$(find "$tree" -type f | wc -l)
megabytes=$(du -sm -L "$tree" | cut -f1)
printf 'tree: %d files, %d MB; bases: %s\n' "$files" "$megabytes" "$(ls "$work/bases" | tr '\n' ' ')"

now() { date +%s.%N; }
secs() { echo "$2 - $1" | bc -l; }
printf 'scan me\n' >"$work/sample.txt"

# Ours: the load alone (tervscan --version loads the bases), then the scan.
wine_run() { "$root/tools/wine-run.sh" "$sandbox" "$@" 2>/dev/null | tr -d '\r'; }
t0=$(now); wine_run "$build/bin/tervscan.exe" --engine "$win\\ours" --version >"$work/ours-version.txt" || true; t1=$(now)
our_load=$(secs "$t0" "$t1")
t0=$(now); wine_run "$build/bin/tervscan.exe" --engine "$win\\empty" --version >/dev/null || true; t1=$(now)
our_start=$(secs "$t0" "$t1")
t0=$(now)
wine_run "$build/bin/tervscan.exe" --all-files --no-cure --engine "$win\\ours" "$win\\tree" >"$work/ours.txt" || true
t1=$(now)
our_scan=$(echo "$(secs "$t0" "$t1") - $our_load" | bc -l)
our_load=$(echo "$our_load - $our_start" | bc -l)
# The engine alone: its peak memory and the largest share of a work limit that any object used.
engine=$(wine_run "$build/bin/bench_engine.exe" "$win\\ours" "$win\\tree" || true)
empty=$(wine_run "$build/bin/bench_engine.exe" "$win\\empty" "$win\\sample.txt" || true)
field() { awk -v what="$1" '$1 == what { print $2; exit }'; }
our_peak=$(echo "$(echo "$engine" | field peak) - $(echo "$empty" | field peak)" | bc -l)
work_share=$(echo "$engine" | awk '$1 == "work" { $1 = ""; print substr($0, 2); exit }')

# clamscan: the load alone (one tiny file), then the scan; its figures kept, and used again when
# REAL_BASE_REUSE_CLAMSCAN=1 (the same tree and bases, while ours changes).
if [ "${REAL_BASE_REUSE_CLAMSCAN:-0}" = 1 ] && [ -f "$work/theirs-figures" ]; then
    read -r clam_scan clam_load clam_peak <"$work/theirs-figures"
else
    clam_time() { /usr/bin/time -f '%e %M' "$@" 2>&1 >/dev/null | tail -1; }
    printf 'Tiny:0:*:74696e7974696e79\n' >"$work/tiny.ndb"
    read -r clam_empty_s clam_empty_kb < <(clam_time clamscan --no-summary -d "$work/tiny.ndb" "$work/sample.txt")
    read -r clam_load_s clam_kb < <(clam_time clamscan --no-summary -d "$work/bases" "$work/sample.txt")
    t0=$(now)
    clamscan -r --no-summary --heuristic-alerts=no -d "$work/bases" "$tree" >"$work/theirs.txt" 2>"$work/theirs-errors.txt" || true
    t1=$(now)
    clam_scan=$(echo "$(secs "$t0" "$t1") - $clam_load_s" | bc -l)
    clam_load=$(echo "$clam_load_s - $clam_empty_s" | bc -l)
    clam_peak=$(echo "($clam_kb - $clam_empty_kb) * 1024" | bc -l)
    echo "$clam_scan $clam_load $clam_peak" >"$work/theirs-figures"
fi

# Verdicts by path: FOUND, OK or ERROR.
verdicts() {  # stdin: result lines; $1: path prefix to drop; $2: path separator
    sed -n -e "s|^$1||" -e 's/: .* FOUND$/\tFOUND/p' -e 's/: OK$/\tOK/p' -e 's/: Empty file$/\tOK/p' -e 's/: ERROR .*$/\tERROR/p' \
        -e 's/: .* ERROR$/\tERROR/p' |
        tr "$2" / | sort -t "$(printf '\t')" -k1,1
}
verdicts 'B:\\real-base-data\\tree\\' '\\' <"$work/ours.txt" >"$work/ours.verdicts"
verdicts "$tree/" / <"$work/theirs.txt" >"$work/theirs.verdicts"
join -t "$(printf '\t')" -a1 -a2 -e missing -o 0,1.2,2.2 "$work/ours.verdicts" "$work/theirs.verdicts" >"$work/joined.txt"
awk -F '\t' '$2 != $3' "$work/joined.txt" >"$work/disagree.txt"

errors=$(grep -c $'\tERROR$' "$work/ours.verdicts" || true)
printf '\n%-28s %12s %12s\n' '' ours clamscan
printf '%-28s %12d %12d\n' 'files with a verdict' "$(wc -l <"$work/ours.verdicts")" "$(wc -l <"$work/theirs.verdicts")"
printf '%-28s %12d %12d\n' 'FOUND' "$(grep -c $'\tFOUND$' "$work/ours.verdicts" || true)" "$(grep -c $'\tFOUND$' "$work/theirs.verdicts" || true)"
printf '%-28s %12d %12d\n' 'ERROR (not fully scanned)' "$errors" "$(grep -c $'\tERROR$' "$work/theirs.verdicts" || true)"
printf '%-28s %12.1f %12.1f\n' 'scan s (net of load)' "$our_scan" "$clam_scan"
printf '%-28s %12.2f %12.2f\n' 'load s' "$our_load" "$clam_load"
printf '%-28s %12.0f %12.0f\n' 'peak MB (net of no base)' "$(echo "$our_peak / 1048576" | bc -l)" "$(echo "$clam_peak / 1048576" | bc -l)"
printf 'largest share of a work limit used by a file: %s\n' "${work_share:-?}"
printf 'ratios ours/clamscan: scan %.2f (goal <= 0.5), load %.2f (goal <= 1), memory %.2f (goal <= 1)\n' \
    "$(echo "$our_scan / $clam_scan" | bc -l)" "$(echo "$our_load / $clam_load" | bc -l)" "$(echo "$our_peak / $clam_peak" | bc -l)"
printf 'disagreements: %d, by kind (ours, clamscan):\n' "$(wc -l <"$work/disagree.txt")"
cut -f2,3 "$work/disagree.txt" | sort | uniq -c | sed 's/^/    /'
printf 'the first 60 (path, ours, clamscan):\n'
head -60 "$work/disagree.txt" | sed 's/^/    /'
if [ "$errors" -gt 0 ]; then
    printf 'our ERROR lines, the first 30:\n'
    grep ': ERROR' "$work/ours.txt" | head -30 | sed 's/^/    /' || true
fi
