#!/usr/bin/env bash
# How long a machine without the library cache takes to get going: the set-up's steps with every
# cache in a fresh folder (the packages are the machine's: a machine without them adds their install,
# which the first line says), then the build of the programs, then the build of everything the tests
# use, in a fresh build folder. Prints each step's wall time and the two totals the README's commands
# wait for: to the program (run.sh) and to the tests (test.sh, less running them). Two set-ups are
# started at once, the second for the programs only: it must wait for the first and use what it built.
#   bench/fresh-setup.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d /var/tmp/fresh-setup.XXXXXX)
trap 'rm -rf "$work"' EXIT
export TERVAN_BOOST_CACHE=$work/cache/boost TERVAN_7ZIP_CACHE=$work/cache/7zip TERVAN_LIBARCHIVE_CACHE=$work/cache/libarchive \
    TERVAN_PCRE2_CACHE=$work/cache/pcre2 TERVAN_NSIS_CACHE=$work/cache/nsis TERVAN_SOURCE_CACHE=$work/cache/src \
    TERVAN_SETUP_LOCK=$work/cache/.lock TERVAN_MAKENSIS=$work/cache/nsis/bin/makensis
build=$work/build

missing=$(bash -c 'source <(sed -n "/^PACKAGES=/,/)/p" "$0/tools/setup.sh"); for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f="\${Status}\n" "$p" 2>/dev/null | grep -q "^install ok installed" || echo "$p"; done' "$root" | wc -l)
echo "packages missing on this machine: $missing (their install is not timed here)"

started=$SECONDS
bash "$root/tools/setup.sh" >"$work/first.log" 2>&1 &
first=$!
sleep 2
bash "$root/tools/setup.sh" --programs >"$work/second.log" 2>&1 &
second=$!
status=0
wait "$first" || status=1
setup_all=$((SECONDS - started))
wait "$second" || status=1
[ "$status" = 0 ] || { cat "$work/first.log" "$work/second.log" >&2; echo "fresh-setup: a set-up failed" >&2; exit 1; }
grep -q 'another set-up is running' "$work/second.log" || echo "fresh-setup: the second set-up did not wait for the first" >&2

printf '%-34s %6s\n' step seconds
sed -n 's/^setup: build_\([a-z0-9]*\) took \([0-9]*\) s$/\1 \2/p' "$work/first.log" | while read -r library seconds; do
    printf '%-34s %6d\n' "  library $library" "$seconds"
done
printf '%-34s %6d\n' "set-up, libraries side by side" "$setup_all"
started=$SECONDS
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target TervanScanner tervscan refengine >"$work/programs.log" 2>&1
programs=$((SECONDS - started))
printf '%-34s %6d\n' "build of the programs" "$programs"
started=$SECONDS
cmake --build "$build" -j "$(nproc)" >"$work/all.log" 2>&1
rest=$((SECONDS - started))
printf '%-34s %6d\n' "build of the rest (tests)" "$rest"
nsis=$(sed -n 's/^setup: build_nsis took \([0-9]*\) s$/\1/p' "$work/first.log")
printf '%-34s %6d\n' "to the program (set-up, no NSIS)" $((setup_all - ${nsis:-0} + programs))
printf '%-34s %6d\n' "to the tests (set-up and builds)" $((setup_all + programs + rest))
