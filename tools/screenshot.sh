#!/usr/bin/env bash
# Shows one of the program's dialogs in a private sandbox (Wine's virtual desktop on Xvfb, so windows
# have frames) and saves a PNG of it:  tools/screenshot.sh VIEW OUT.png [ARGS...]
# VIEW: a view of tervan_showcase (buttons, ...), or "main" for the scanner itself.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TERVAN_BUILD_DIR:-$root/build}
view=${1:?view}
out=$(realpath -m "${2:?output png}")
shift 2

bash "$root/tools/setup.sh" --programs >/dev/null
cmake -S "$root" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null

sandbox="$build/shot-sandbox"
"$root/tools/harness.sh" start "$sandbox" "$build" >/dev/null
trap '"$root/tools/harness.sh" stop "$sandbox" >/dev/null 2>&1 || true' EXIT
export DISPLAY=$(cat "$sandbox/display")
if [ -n "${TERVAN_SHOT_SETUP:-}" ]; then eval "$TERVAN_SHOT_SETUP"; fi

if [ "$view" = main ]; then program="$build/bin/TervanScanner.exe"; else program="$build/bin/tervan_showcase.exe"; set -- "$view" "$@"; fi
(cd "$build" && "$root/tools/wine-run.sh" "$sandbox" explorer /desktop=shot,1024x768 "$program" "$@" >/dev/null 2>&1 &)
sleep "${TERVAN_SHOT_WAIT:-4}"
import -window root "$sandbox/screen.png"
# Keep the windows, not the empty desktop around them.
corner=$(convert "$sandbox/screen.png" -format '%[pixel:p{1023,767}]' info:)
convert "$sandbox/screen.png" -crop 1024x768+0+0 -bordercolor "$corner" -border 1 -trim +repage "$out"
echo "saved $out"
