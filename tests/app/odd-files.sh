#!/usr/bin/env bash
# Names and kinds of file that only the disk allows, met by a scan: a FIFO and a link to a device are
# "not scanned" (never read, never OK), and an infected "a:b.exe", whose name no restore could give
# back, is reported and left as it is (no cure, no copy), the scan going on past all three. Then a
# quarantine copy the file system keeps from deletion (immutable): "cannot delete", not "Deleted"; and
# a quarantine folder that is a link out of every drive: no copy written there, so no cure; and a
# restore whose folder became a link into Windows' own: refused, as a restore there would be.
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

# The copy of plain.exe made undeletable: its deletion is said to fail, and the entry stays.
container=$(ls "$harness"/drive_d/TER.QUAR/*.tqr 2>/dev/null | head -1)
if [ -n "$container" ] && chattr +i "$container" 2>/dev/null; then
    guid=$(basename "$container" .tqr)
    deleted=$("$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --quarantine delete "$guid" 2>&1)
    code=$?
    listed=$("$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --quarantine list 2>&1)
    chattr -i "$container"
    echo "$deleted"
    [ $code -eq 2 ] && grep -q "cannot delete" <<<"$deleted" && grep -qi "$guid" <<<"$listed" ||
        { echo "FAILED: an undeletable copy was reported deleted (exit $code)" >&2; failures=$((failures + 1)); }
    "$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --quarantine delete "$guid" >/dev/null 2>&1
else
    echo "--- undeletable copy: not tried (no quarantine copy, or no immutable files here)"
fi

# E:'s quarantine folder made a link to a folder outside every drive: the copy is refused with the
# reason, the infected file stays as it was, and nothing is written out there.
quarantine_e=$harness/drive_e/TER.QUAR outside=$harness/outside-quarantine
[ -e "$quarantine_e" ] && mv "$quarantine_e" "$quarantine_e.aside"
rm -rf "$outside" "$harness/drive_e/odd-link" && mkdir -p "$outside" "$harness/drive_e/odd-link"
ln -s "$outside" "$quarantine_e"
printf '%s\n' "$infected" >"$harness/drive_e/odd-link/plain.exe"
linked=$(timeout 120 "$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --engine 'B:\engines\test' 'E:\odd-link' 2>&1)
rm -f "$quarantine_e"
[ -e "$quarantine_e.aside" ] && mv "$quarantine_e.aside" "$quarantine_e"
echo "$linked"
grep -qF 'E:\odd-link\plain.exe: Odd.Test FOUND (not cured: no copy could be kept in the quarantine: the quarantine folder E:\TER.QUAR is a link' <<<"$linked" &&
    [ "$(cat "$harness/drive_e/odd-link/plain.exe")" = "$infected" ] && [ -z "$(ls -A "$outside")" ] ||
    { echo "FAILED: a quarantine folder that is a link was written through" >&2; failures=$((failures + 1)); }
rm -rf "$outside" "$harness/drive_e/odd-link"

restore=$harness/drive_e/odd-restore system32=$harness/prefix/drive_c/windows/system32
rm -rf "$restore" && mkdir -p "$restore/lnk"
printf '%s\n' "$infected" >"$restore/lnk/odd-planted.dll"
timeout 120 "$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --engine 'B:\engines\test' 'E:\odd-restore' >/dev/null 2>&1
guid=$("$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --quarantine list 2>/dev/null | grep -F 'odd-restore' | cut -f1 | head -1)
rm -rf "$restore/lnk" && ln -s "$system32" "$restore/lnk"
restored=$("$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --quarantine restore "$guid" 2>&1)
code=$?
echo "$restored"
[ -n "$guid" ] && [ $code -eq 2 ] && grep -q "cannot restore" <<<"$restored" && [ ! -e "$system32/odd-planted.dll" ] ||
    { echo "FAILED: a restore through a link went into Windows' folder (exit $code)" >&2; failures=$((failures + 1)); }
rm -f "$system32/odd-planted.dll" "$restore/lnk"
[ -n "$guid" ] && "$source/tools/wine-run.sh" "$harness" 'B:\bin\tervscan.exe' --quarantine delete "$guid" >/dev/null 2>&1
rm -rf "$restore"
[ $failures -eq 0 ] && echo "odd files passed"
exit $((failures > 0))
