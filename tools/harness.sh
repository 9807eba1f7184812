#!/usr/bin/env bash
# The test sandbox: a private Wine prefix whose drives are temporary folders, an Xvfb display and one
# persistent wineserver for the whole run.
#   harness.sh start DIR BUILD_DIR   empty DIR, make DIR/prefix, map C: (the prefix's own), D:, E: and B: (BUILD_DIR)
#   harness.sh stop DIR              end the wineserver and the display
# No drive letter points at the machine's root, and HOME is a folder of the sandbox.
set -euo pipefail

cmd=${1:?start or stop}
dir=$(realpath -m "${2:?harness folder}")

wine_env() {
    export WINEPREFIX="$dir/prefix" WINEARCH=win32 WINEDEBUG=-all HOME="$dir/home"
    export WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe,winedbg.exe="
    export XDG_CONFIG_HOME="$dir/home/.config" XDG_DATA_HOME="$dir/home/.local/share" XDG_CACHE_HOME="$dir/home/.cache"
}

start_display() {
    local n
    for n in $(seq 90 250); do
        [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$dir/xvfb.log" 2>&1 </dev/null &
        echo $! >"$dir/xvfb.pid"
        local i
        for i in $(seq 1 100); do
            [ -e "/tmp/.X11-unix/X$n" ] && { echo ":$n" >"$dir/display"; return 0; }
            kill -0 "$(cat "$dir/xvfb.pid")" 2>/dev/null || break
            sleep 0.1
        done
    done
    echo "harness: cannot start Xvfb" >&2
    return 1
}

case "$cmd" in
start)
    build=$(realpath "${3:?build folder}")
    "$0" stop "$dir" >/dev/null 2>&1 || true
    rm -rf "$dir"
    mkdir -p "$dir/home" "$dir/drive_d" "$dir/drive_e"
    start_display
    export DISPLAY=$(cat "$dir/display")
    wine_env
    mkdir -p "$WINEPREFIX"
    wineserver -p >"$dir/wineserver.log" 2>&1 </dev/null
    wineboot -i >"$dir/wineboot.log" 2>&1 </dev/null
    dd="$WINEPREFIX/dosdevices"
    for link in "$dd"/*; do
        case "$(basename "$link")" in c:|com*|lpt*) ;; *) rm -f "$link" ;; esac
    done
    ln -sfn "$build" "$dd/b:"
    ln -sfn "$dir/drive_d" "$dd/d:"
    ln -sfn "$dir/drive_e" "$dd/e:"
    # A network share, as Wine resolves UNC paths: \\tervan-server\share is drive E:'s folder.
    mkdir -p "$dd/unc/tervan-server"
    ln -sfn "$dir/drive_e" "$dd/unc/tervan-server/share"
    # Fonts and the virtual desktop; this fails the start when they do not take.
    bash "$(dirname "$0")/wine-settings.sh" "$WINEPREFIX" --desktop
    # Start again with the desktop process of the settings above, started here so that it holds
    # none of a test's output handles (a test's output would otherwise never end).
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    wineserver -p >"$dir/wineserver.log" 2>&1 </dev/null
    setsid wine explorer.exe /desktop=Default,1280x1024 >"$dir/explorer.log" 2>&1 </dev/null &
    sleep 1
    echo "harness: prefix $WINEPREFIX, display $DISPLAY, drives B: C: D: E:"
    ;;
stop)
    wine_env
    if [ -d "$WINEPREFIX" ]; then wineserver -k >/dev/null 2>&1 || true; fi
    if [ -f "$dir/xvfb.pid" ]; then kill "$(cat "$dir/xvfb.pid")" 2>/dev/null || true; rm -f "$dir/xvfb.pid"; fi
    ;;
*)
    echo "usage: $0 start DIR BUILD_DIR | stop DIR" >&2
    exit 2
    ;;
esac
