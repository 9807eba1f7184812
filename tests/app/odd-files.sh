#!/usr/bin/env bash
# Names and kinds of file that only the disk allows, met by a scan: a FIFO and a link to a device are
# "not scanned" (never read, never OK), and an infected "a:b.exe", whose name no restore could give
# back, is reported and left as it is (no cure, no copy), the scan going on past all three.
#   odd-files.sh BUILD_DIR HARNESS_DIR
set -uo pipefail
build=$(realpath "$1") harness=$(realpath "$2")
source=$(cd "$(dirname "$0")/../.." && pwd)
tree=$harness/drive_d/odd-files
rm -rf "$tree" && mkdir -p "$tree"
trap 'rm -rf "$tree"' EXIT
mkfifo "$tree/pipe.exe"
ln -s /dev/zero "$tree/zero.exe"
infected='TVE:DETECT 1 Odd.Test curable'
printf '%s\n' "$infected" >"$tree/a:b.exe"
printf '%s\n' "$infected" >"$tree/plain.exe"

out=$(timeout 120 "$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --engine 'B:\engines\test' 'D:\odd-files' 2>&1)
code=$?
echo "$out"
failures=0
expect() { grep -qF -- "$1" <<<"$out" || { echo "FAILED: no \"$1\"" >&2; failures=$((failures + 1)); }; }
[ $code -eq 2 ] || { echo "FAILED: exit $code (not 2: files were not scanned)" >&2; failures=$((failures + 1)); }
expect 'D:\odd-files\pipe.exe: ERROR not a regular file'
expect 'D:\odd-files\zero.exe: ERROR not a regular file'
expect 'D:\odd-files\a:b.exe: Odd.Test FOUND (not cured: no copy could be kept'
expect 'D:\odd-files\plain.exe: Odd.Test FOUND (cured) (quarantined)'
[ "$(cat "$tree/a:b.exe")" = "$infected" ] || { echo "FAILED: a:b.exe was changed" >&2; failures=$((failures + 1)); }
[ $failures -eq 0 ] && echo "odd files passed"
exit $((failures > 0))
