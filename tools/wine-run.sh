#!/usr/bin/env bash
# Runs a Windows program inside the test sandbox made by harness.sh: wine-run.sh HARNESS_DIR PROGRAM ARGS...
set -euo pipefail
dir=$(realpath -m "${1:?harness folder}")
shift
if [ ! -f "$dir/display" ] || [ ! -d "$dir/prefix" ] || [ ! -f "$dir/xvfb.pid" ] || ! kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null; then
    echo "wine-run: no running test sandbox in $dir (run the tests through ctest or tools/test.sh," >&2
    echo "          or start one with tools/harness.sh start $dir BUILD_DIR)" >&2
    exit 2
fi
export WINEPREFIX="$dir/prefix" WINEARCH=win32 WINEDEBUG=${WINEDEBUG:--all} HOME="$dir/home"
export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe,winedbg.exe="
export DISPLAY=$(cat "$dir/display")
exec wine "$@"
