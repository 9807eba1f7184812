#!/usr/bin/env bash
# The Wine settings every prefix of ours needs for the dialogs to look as designed: Wine's own fonts
# (Tahoma, and Marlett for caption buttons) and metric-compatible free fonts for the Windows fonts the
# dialogs name. With --desktop, windows also live in a virtual desktop (for Xvfb without a window
# manager). Fails loudly when the settings do not take.
#   wine-settings.sh PREFIX [--desktop]
set -euo pipefail
prefix=$(realpath "${1:?Wine prefix}")
desktop=${2:-}
export WINEPREFIX="$prefix"

cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
# The registry file goes where Wine can read it by a drive path, whatever folders the drives map.
reg="$prefix/drive_c/tervan-settings.reg"
cat >"$reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Arial"="Liberation Sans"
"Times New Roman"="Liberation Serif"
"Verdana"="DejaVu Sans"
"Courier New"="Liberation Mono"
REG
if [ "$desktop" = --desktop ]; then
    cat >>"$reg" <<'REG'

; Windows live in a virtual desktop: without a window manager, hiding a top-level X window makes
; Wine wait two seconds for its withdrawal.
[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1280x1024"
REG
fi
if ! out=$(wine regedit /S 'C:\tervan-settings.reg' 2>&1 </dev/null); then
    echo "wine-settings: regedit failed: $out" >&2
    exit 1
fi
# Read back through Wine itself (the registry files are written only when the server saves them).
check() {
    if ! wine reg query "$1" /v "$2" 2>/dev/null </dev/null | grep -q "$3"; then
        echo "wine-settings: $1 $2 did not take in $prefix" >&2
        exit 1
    fi
}
check 'HKCU\Software\Wine\Fonts\Replacements' Arial 'Liberation Sans'
if [ "$desktop" = --desktop ]; then check 'HKCU\Software\Wine\Explorer\Desktops' Default 1280x1024; fi
