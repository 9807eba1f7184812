#!/usr/bin/env bash
# The tests' local mirror of signature bases: made, served on 127.0.0.1 and its key set in the sandbox
# prefix (start), or stopped and the key removed (stop). The port is in BUILD_DIR/update-mirror/port
# (UPDATE_MIRROR_DIR/port when set; UPDATE_MIRROR_HASHES: hash signatures in each base, for benches).
#   mirror.sh start|stop BUILD_DIR HARNESS_DIR
set -euo pipefail
action=$1 build=$(realpath "$2") harness=$(realpath "$3")
source=$(cd "$(dirname "$0")/../.." && pwd)
work=${UPDATE_MIRROR_DIR:-$build/update-mirror}
key='HKLM\Software\Tervan\Scanner\UpdateTest'
case "$action" in
start)
    [ -f "$work/pid" ] && kill "$(cat "$work/pid")" 2>/dev/null || true
    rm -rf "$work" && mkdir -p "$work"
    python3 "$source/tools/update-mirror.py" make "$work/mirror" ${UPDATE_MIRROR_HASHES:+--hashes "$UPDATE_MIRROR_HASHES"}
    "$source/tools/wine-run.sh" "$harness" reg add "$key" /v TestKey /t REG_SZ /d "$(cat "$work/mirror/key.txt")" /f >/dev/null 2>&1
    # Detached, so that the test runner does not wait for it.
    setsid python3 "$source/tools/update-mirror.py" serve "$work/mirror" "$work/port" >"$work/server.log" 2>&1 </dev/null &
    echo $! >"$work/pid"
    for _ in $(seq 100); do [ -s "$work/port" ] && exit 0; sleep 0.1; done
    echo "the mirror did not start: $(cat "$work/server.log")" >&2
    exit 1
    ;;
stop)
    [ -f "$work/pid" ] && kill "$(cat "$work/pid")" 2>/dev/null || true
    rm -f "$work/pid"
    "$source/tools/wine-run.sh" "$harness" reg delete "$key" /f >/dev/null 2>&1 || true
    ;;
esac
