#!/usr/bin/env bash
# What the reference engine finds in Debian's clamav-testfiles (44 files, each the harmless test
# program clam.exe in some wrapping: archives, compressed files, packers, installers, documents, mail)
# against clamscan given the same signatures of clam.exe: its MD5 (.hdb), and its entry code as a body
# signature (.ndb) and in a logical one (.ldb). Prints per family the files, and how many clamscan and
# ours flag (and the engine of another revision, if one is named), then every file on which ours and
# clamscan differ, with our verdict.
#   bench/testfiles-families.sh [REVISION]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
revision=${1:+$(git -C "$root" rev-parse --short "$1")}

source "$root/bench/bench-start.sh"
start_clamscan_bench testfiles-sandbox --testfiles tervscan refengine
[ -z "$revision" ] || other_engine "$revision"
work="$sandbox/drive_d/testfiles"
rm -rf "$work" && mkdir -p "$work/bases" "$work/files"
cp /usr/share/clamav-testfiles/* "$work/files/"
python3 "$root/bench/clam-signatures.py" "$work/files/clam.exe" "$work/bases"

scan_ours() {  # engine DLL, verdict file
    mkdir -p "$work/engine"
    cp "$work"/bases/* "$work/engine/"
    cp "$1" "$work/engine/ScanMain.DLL"
    "$root/tools/wine-run.sh" "$sandbox" "$build/bin/tervscan.exe" -i --no-cure --engine 'D:\testfiles\engine' \
        'D:\testfiles\files' 2>/dev/null | tr -d '\r' | grep -E ' (FOUND|ERROR)' | sed 's|^.*\\||' >"$2" || true
    rm -rf "$work/engine"
}
scan_ours "$build/bin/Bases/ScanMain.DLL" "$work/ours.txt"
columns=(clamscan ours)
if [ -n "$revision" ]; then
    scan_ours "$other/build/bin/Bases/ScanMain.DLL" "$work/before.txt"
    columns=(clamscan "$revision" ours)
fi
clamscan --no-summary --infected --heuristic-alerts=no -d "$work/bases" "$work/files" 2>/dev/null |
    grep ' FOUND' | sed 's|^.*/||' >"$work/theirs.txt" || true

# One family per wrapping; packers, InstallShield and the cpio variants each as one.
family() {
    case $1 in
    clam-nsis.exe) echo nsis ;;
    clam-*.exe) echo packer ;;
    clam_IS*) echo installshield ;;
    clam_cache_emax.tgz) echo tar.gz ;;
    *.cpio) echo cpio ;;
    clam.ea0[56].exe) echo autoit ;;
    clam.exe) echo plain ;;
    clam.exe.*) echo "${1#clam.exe.}" ;;
    *.zip) echo "zip" ;;
    *) echo "${1#clam.}" ;;
    esac
}
flagged() { grep -q "^$2: .* FOUND" "$1"; }
{
    printf '%-14s %5s' family files
    for c in "${columns[@]}"; do printf ' %9s' "$c"; done
    printf '\n'
    for f in "$work"/files/*; do
        name=$(basename "$f")
        printf '%s %d %d' "$(family "$name")" "$(flagged "$work/theirs.txt" "$name" && echo 1 || echo 0)" \
            "$(flagged "$work/ours.txt" "$name" && echo 1 || echo 0)"
        [ -z "$revision" ] || printf ' %d' "$(flagged "$work/before.txt" "$name" && echo 1 || echo 0)"
        printf '\n'
    done | awk -v before=$([ -n "$revision" ] && echo 1 || echo 0) '{ n[$1]++; t[$1] += $2; o[$1] += $3; b[$1] += $4; N++; T += $2; O += $3; B += $4 }
        END { for (f in n) printf "%-14s %5d %9d%s %9d\n", f, n[f], t[f], (before ? sprintf(" %9d", b[f]) : ""), o[f]
              printf "%-14s %5d %9d%s %9d\n", "all", N, T, (before ? sprintf(" %9d", B) : ""), O }' | sort
}
echo "where ours and clamscan differ:"
for f in "$work"/files/*; do
    name=$(basename "$f")
    a=$(flagged "$work/theirs.txt" "$name" && echo 1 || echo 0)
    b=$(flagged "$work/ours.txt" "$name" && echo 1 || echo 0)
    if [ "$a" != "$b" ]; then
        printf '  %-24s clamscan %s, ours: %s\n' "$name" "$([ "$a" = 1 ] && echo FOUND || echo -)" \
            "$(grep "^$name: " "$work/ours.txt" | sed "s/^$name: //" || echo OK)"
    fi
done
