#!/usr/bin/env bash
# Sets up the machine if needed, builds the scanner and starts it under Wine on this display, with the
# reference engine in its "Bases" folder. The Wine prefix is the scanner's own
# (~/.local/share/tervan/wine unless WINEPREFIX is set). Its drives are C: (the prefix's own), B: (the
# build, where the program lives; not a fixed drive, so scans leave it alone) and one fixed drive for
# each folder given:  run.sh [FOLDER...]  maps them to D:, E:, ...  No drive reaches the machine's root
# folder: a quick or full scan covers exactly C: and the folders given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}

if [ -z "${DISPLAY:-}" ]; then
    echo "run: there is no display (DISPLAY is not set). Tervan! Scanner is a windowed program; start this" >&2
    echo "     from a graphical session, or use the console front end: $build/bin/tervscan.exe --help" >&2
    exit 1
fi
folders=()
for folder in "$@"; do
    [ -d "$folder" ] || { echo "run: $folder is not a folder" >&2; exit 2; }
    folders+=("$(realpath "$folder")")
done
[ ${#folders[@]} -le 22 ] || { echo "run: at most 22 folders (D: to Y:)" >&2; exit 2; }

bash "$root/tools/setup.sh" --programs  # not what only the tests and the installer need
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" --target TervanScanner tervscan refengine
export WINEPREFIX=${WINEPREFIX:-$HOME/.local/share/tervan/wine}
export WINEARCH=${WINEARCH:-win32} WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-"mscoree,mshtml,winemenubuilder.exe="}
mkdir -p "$WINEPREFIX"
[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
bash "$root/tools/wine-settings.sh" "$WINEPREFIX"

# The drives, made anew at every start: Wine's own Z: (the machine's root) would let a full scan walk,
# and cure, the whole Linux system. Wine's mount manager reads them when the prefix's server starts, so
# the server of the steps above must end first, else the first start still shows the old drives.
if ! timeout 60 wineserver -w; then
    echo "run: another Windows program still runs in $WINEPREFIX; its drives change when it ends" >&2
fi
dd="$WINEPREFIX/dosdevices"
for link in "$dd"/*; do
    case "$(basename "$link")" in c:|com*|lpt*) ;; *) rm -f "$link" ;; esac
done
ln -sfn "$build" "$dd/b:"
letters=(d e f g h i j k l m n o p q r s t u v w x y)
for i in "${!folders[@]}"; do
    ln -sfn "${folders[$i]}" "$dd/${letters[$i]}:"
    echo "run: ${folders[$i]} is drive ${letters[$i]^^}:"
done
cd "$build/bin"
exec wine 'B:\bin\TervanScanner.exe'
