#!/usr/bin/env bash
# Sets up the machine if needed, builds the scanner and starts it under Wine on this display, with the
# reference engine in its "Bases" folder. The Wine prefix is the scanner's own
# (~/.local/share/tervan/wine unless WINEPREFIX is set), with Wine's usual drives.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}

if [ -z "${DISPLAY:-}" ]; then
    echo "run: there is no display (DISPLAY is not set). Tervan! Scanner is a windowed program; start this" >&2
    echo "     from a graphical session, or use the console front end: $build/bin/tervscan.exe --help" >&2
    exit 1
fi
bash "$root/tools/setup.sh"
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target TervanScanner tervscan refengine
export WINEPREFIX=${WINEPREFIX:-$HOME/.local/share/tervan/wine}
export WINEARCH=${WINEARCH:-win32} WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml="}
mkdir -p "$WINEPREFIX"
cd "$build/bin"
exec wine TervanScanner.exe
