#!/usr/bin/env bash
# Each attack a hostile mirror or a man in the middle can make on an update, played against
# tervscan --update: an old signed base under a newer header, a signed patch replayed under later
# names, a body that never ends (past the size the mirror announced), a ranged answer that starts terabytes in, a file that says it is
# 10 TB, a mirror that sends a byte every two seconds (against the minimum rate, then the deadline).
# For each: the message, that the bases stayed as they were, the seconds it took and the most disk
# the bases folder used. Exits 1 when an attack was not refused.
#   bench/hostile-mirror.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}

bash "$root/tools/setup.sh" --programs >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target tervscan refengine >/dev/null || exit 1

sandbox="$build/hostile-mirror-sandbox" work="$build/hostile-mirror"
rm -rf "$work" && mkdir -p "$work"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap 'UPDATE_MIRROR_DIR="$work/served" bash "$root/tests/update/mirror.sh" stop "$build" "$sandbox"; "$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
UPDATE_MIRROR_DIR="$work/served" bash "$root/tests/update/mirror.sh" start "$build" "$sandbox" || exit 1
mirror="$work/served/mirror" port=$(cat "$work/served/port")
failures=0

# attack NAME FOLDER EXPECTED [SETTINGS]: an update of a folder holding version 1 from the mirror's
# FOLDER; passes when it exits 2 having said EXPECTED and the base is unchanged.
attack() {
    local name=$1 folder=$2 expected=$3 extra=${4:-} bases="$work/$1"
    rm -rf "$bases" && mkdir -p "$bases/Update"
    cp "$build/bin/Bases/ScanMain.DLL" "$bases/"
    cp "$mirror/local/daily-1.cvd" "$bases/daily.cvd"
    printf '[update]\r\nmirror=http://127.0.0.1:%s/%s/\r\nbases=daily\r\n%s' "$port" "$folder" "$extra" >"$bases/refengine.ini"
    # A download cut short earlier, which a resume continues.
    head -c 4096 "$mirror/whole/daily.cvd" >"$bases/Update/daily.cvd.part"
    local start peak=0 used code out
    start=$(date +%s.%N)
    "$root/tools/wine-run.sh" "$sandbox" "$build/bin/tervscan.exe" --update --engine "B:\\hostile-mirror\\$name" >"$work/$name.out" 2>&1 &
    local pid=$!
    while kill -0 $pid 2>/dev/null; do
        used=$(du -sk --apparent-size "$bases" | cut -f1)
        [ "$used" -gt "$peak" ] && peak=$used
        sleep 0.5
    done
    wait $pid
    code=$?
    local seconds
    seconds=$(echo "$(date +%s.%N) - $start" | bc)
    out=$(cat "$work/$name.out")
    local verdict=refused
    if [ $code -ne 2 ] || ! grep -qF -- "$expected" <<<"$out" || ! cmp -s "$bases/daily.cvd" "$mirror/local/daily-1.cvd" || [ -e "$bases/daily.cld" ]; then
        verdict=FAILED
        failures=$((failures + 1))
    fi
    printf '%-10s %-8s %7.1f s %9s KB peak   %s\n' "$name" "$verdict" "$seconds" "$peak" "$(grep -F -- "$expected" <<<"$out" | head -1 | cut -c1-150)"
    [ "$verdict" = FAILED ] && sed 's/^/    | /' <<<"$out"
}

printf '%-10s %-8s %9s %16s   %s\n' attack verdict time "disk" "what the update said"
attack rollback rollback "refused: its content is version 2 ("
attack replay replay "not the version 9 ("
attack endless endless "refused: the mirror sent more than the "
attack farrange farrange "refused: the mirror answered with bytes from 10995116277760, not from 4096"
attack huge huge "more than any base"
attack slow slow "the mirror sends too slowly"
attack deadline slow "took longer than its 20 seconds" $'deadline=20\r\nminimum_rate=1\r\n'
[ -n "$(find "$work" -name '*.part' -size +1024k)" ] && { echo "a part over 1 MB was kept"; failures=$((failures + 1)); }
echo "attacks refused: $((7 - failures)) of 7"
exit $((failures > 0))
