#!/usr/bin/env bash
# tervscan --update against the tests' local mirror (mirror.sh): a whole base, current bases, one and
# three versions of patches, bad signatures, a base cut short, a rollback and a replayed patch, one whose archive is damaged, a download
# resumed after the server went away, a busy mirror, a bases folder where the update cannot write, a
# full disk.
#   update-test.sh BUILD_DIR HARNESS_DIR
set -uo pipefail
build=$(realpath "$1") harness=$(realpath "$2")
source=$(cd "$(dirname "$0")/../.." && pwd)
work=$build/update-test
rm -rf "$work" && mkdir -p "$work"
ln -s ../update-mirror/mirror "$work/mirror"
port=$(cat "$build/update-mirror/port") || exit 1
# A second server of the same mirror that goes away after 4096 bytes of every answer.
python3 "$source/tools/update-mirror.py" serve "$work/mirror" "$work/cut-port" --cut 4096 &
cut_server=$!
trap 'kill $cut_server 2>/dev/null; umount "$work/full" 2>/dev/null' EXIT
for _ in $(seq 100); do [ -s "$work/cut-port" ] && break; sleep 0.1; done
cut_port=$(cat "$work/cut-port")
failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

# bases NAME MIRROR_URL [LOCAL_VERSION]: a bases folder with the engine and its settings; the first
# mirror named there has no server.
bases() {
    mkdir -p "$work/$1"
    cp "$build/bin/Bases/ScanMain.DLL" "$work/$1/"
    printf '[update]\r\nmirror=http://127.0.0.1:9/\r\nmirror2=%s\r\nbases=daily\r\n' "$2" >"$work/$1/refengine.ini"
    [ -n "${3:-}" ] && cp "$work/mirror/local/daily-$3.cvd" "$work/$1/daily.cvd"
    return 0
}
# update NAME: runs the update; its output in $out, its exit code in $code.
update() {
    out=$("$source/tools/wine-run.sh" "$harness" "$build/bin/tervscan.exe" --update --engine "B:\\update-test\\$1" 2>&1)
    code=$?
    echo "--- $1 (exit $code)"
    echo "$out"
}
expect() {  # expect TEXT: the last update said it
    grep -qF -- "$1" <<<"$out" || fail "$2: no \"$1\""
}
# The signature lines the bases in a folder hold (the newest daily base, unpacked).
holds() {
    python3 - "$work/$1" <<'PY'
import gzip, io, os, sys, tarfile
folder = sys.argv[1]
names = [n for n in ("daily.cld", "daily.cvd") if os.path.exists(os.path.join(folder, n))]
data = open(os.path.join(folder, names[0]), "rb").read()[512:]
if data[:2] == b"\x1f\x8b":
    data = gzip.decompress(data)
with tarfile.open(fileobj=io.BytesIO(data)) as tar:
    sys.stdout.write(tar.extractfile("daily.ndb").read().decode())
PY
}
unchanged() {  # unchanged NAME VERSION: the folder still has exactly the old base
    cmp -s "$work/$1/daily.cvd" "$work/mirror/local/daily-$2.cvd" && [ ! -e "$work/$1/daily.cld" ] || fail "$1: the old base was changed"
}

# The whole base when there is none; then current: only the header is fetched.
bases whole "http://127.0.0.1:$port/whole/"
update whole
[ $code -eq 0 ] && cmp -s "$work/whole/daily.cvd" "$work/mirror/whole/daily.cvd" || fail "whole: daily.cvd not installed"
expect "daily: updated to version 4" whole
update whole
[ $code -eq 0 ] || fail "current: exit $code"
expect "daily: current (version 4)" current
expect "fetched 512 bytes" current

# One and three versions behind: patched into daily.cld, the old daily.cvd gone, the engine finds D.
bases one "http://127.0.0.1:$port/good/" 3
update one
[ $code -eq 0 ] || fail "one: exit $code"
expect "daily: patched from version 3 to 4" one
bases three "http://127.0.0.1:$port/good/" 1
update three
expect "daily: patched from version 1 to 4" three
[ -e "$work/three/daily.cld" ] && [ ! -e "$work/three/daily.cvd" ] || fail "three: not daily.cld alone"
[ "$(holds three)" = "$(cat "$work/mirror/daily-4.ndb")" ] || fail "three: the patched base differs from version 4"
printf 'xx tervan-update-test-D xx' >"$work/sample-d.txt"
printf 'xx tervan-update-test-A xx' >"$work/sample-a.txt"
scan=$("$source/tools/wine-run.sh" "$harness" "$build/bin/tervscan.exe" --no-cure --engine 'B:\update-test\three' \
    'B:\update-test\sample-d.txt' 'B:\update-test\sample-a.txt' 2>&1)
grep -q 'sample-d.txt: Test.D FOUND\|sample-d.txt: .*Test.D' <<<"$scan" && grep -q 'sample-a.txt: OK' <<<"$scan" ||
    fail "three: the engine does not scan with version 4 ($scan)"

# Bad signatures (patches and whole base) and a base cut short: refused, the old base untouched.
bases badsig "http://127.0.0.1:$port/badsig/" 1
update badsig
[ $code -eq 2 ] || fail "badsig: exit $code"
expect "the patch's digital signature is wrong" badsig
expect "refused: its digital signature is wrong" badsig
unchanged badsig 1
bases truncated "http://127.0.0.1:$port/truncated/" 1
update truncated
[ $code -eq 2 ] || fail "truncated: exit $code"
expect "refused: its checksum does not match" truncated
unchanged truncated 1

# A mirror rolling back: an old, genuinely signed base under a newer header, and one signed patch
# replayed under every later name. The content's own list holds the version: both are refused.
bases rollback "http://127.0.0.1:$port/rollback/" 1
update rollback
[ $code -eq 2 ] || fail "rollback: exit $code"
expect "refused: its content is version 2 (" rollback
unchanged rollback 1
bases replay "http://127.0.0.1:$port/replay/" 1
update replay
[ $code -eq 2 ] || fail "replay: exit $code"
expect "daily: the patched base is refused: the base's daily.ndb is not the file its list describes" replay
expect "not the version 9 (" replay
unchanged replay 1

bases unloadable "http://127.0.0.1:$port/unloadable/" 1
update unloadable
[ $code -eq 2 ] || fail "unloadable: exit $code"
expect "refused: the base container is damaged" unloadable
unchanged unloadable 1

# The server goes away mid-download: the part is kept, and the next update continues it.
bases resume "http://127.0.0.1:$cut_port/whole/" 2
update resume
[ $code -eq 2 ] || fail "resume: exit $code"
expect "the next update continues the download" resume
unchanged resume 2
printf '[update]\r\nmirror=http://127.0.0.1:%s/whole/\r\nbases=daily\r\n' "$port" >"$work/resume/refengine.ini"
update resume
[ $code -eq 0 ] && cmp -s "$work/resume/daily.cvd" "$work/mirror/whole/daily.cvd" || fail "resume: daily.cvd not installed"
expect "continuing the download cut short at byte 4096" resume
grep -q "^/whole/daily.cvd 4096-" "$work/mirror/served.log" || fail "resume: the rest was not asked for from byte 4096"

# A mirror that asks to be left alone (429, an hour) is not asked again in that hour.
bases busy "http://127.0.0.1:$port/busy/" 1
update busy
[ $code -eq 2 ] || fail "busy: exit $code"
expect "too busy, it asked to be left alone until" busy
asked=$(grep -c "^/busy/" "$work/mirror/served.log")
update busy
expect "/busy/: asked to be left alone until" busy
[ "$(grep -c "^/busy/" "$work/mirror/served.log")" = "$asked" ] || fail "busy: asked again within the hour"
unchanged busy 1

# Where the update must make its folder there is a file: it says so, and nothing changes.
bases blocked "http://127.0.0.1:$port/good/" 2
: >"$work/blocked/Update"
update blocked
[ $code -eq 2 ] || fail "blocked: exit $code"
expect "cannot make the folder for new bases" blocked
unchanged blocked 2

# A disk without room for the download and the base it becomes: not started, said so, nothing changed. It takes a small file system of its
# own, which only a machine that lets this test mount one has.
mkdir -p "$work/full"
pages() { echo $((($(stat -c %s "$1") + 4095) / 4096)); }
# The engine, the old base, the settings and the lock, and two pages more: not the new base's four.
room=$(($(pages "$build/bin/Bases/ScanMain.DLL") + $(pages "$work/mirror/local/daily-1.cvd") + 4))
if mount -t tmpfs -o size=$((room * 4096)) tmpfs "$work/full" 2>/dev/null; then
    bases full "http://127.0.0.1:$port/whole/" 1
    update full
    [ $code -eq 2 ] || fail "full: exit $code"
    expect "not fetched: the disk of the bases has" full
    unchanged full 1
    umount "$work/full"
else
    echo "--- full: not tried (no small file system can be mounted here)"
fi

[ $failures -eq 0 ] && echo "update tests passed"
exit $((failures > 0))
