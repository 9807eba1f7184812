#!/usr/bin/env bash
# The Wine settings every prefix of ours needs for the dialogs to look as designed: Wine's own fonts
# (Tahoma, and Marlett for caption buttons), metric-compatible free fonts for the Windows fonts the
# dialogs name, and a fallback for Chinese, Japanese and Korean file names (else drawn as boxes). The
# user's folders (Desktop, Documents, ...) become the prefix's own, not links to the Linux home folder,
# so that a scan of C: never reaches the machine's files. With --desktop, windows also live in a virtual
# desktop (for Xvfb without a window manager). Fails loudly when the settings do not take.
#   wine-settings.sh PREFIX [--desktop]
set -euo pipefail
prefix=$(realpath "${1:?Wine prefix}")
desktop=${2:-}
export WINEPREFIX="$prefix"

cp /usr/share/wine/fonts/*.ttf "$prefix/drive_c/windows/Fonts/" 2>/dev/null || true
cjk_font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
if [ ! -f "$cjk_font" ]; then
    echo "wine-settings: $cjk_font is missing (tools/setup.sh installs fonts-wqy-microhei)" >&2
    exit 1
fi
cp "$cjk_font" "$prefix/drive_c/windows/Fonts/"

# Wine links these to the home folder when it makes the prefix. A file inside keeps each folder from
# being taken back as a link when Wine updates the prefix (it replaces only empty folders).
find "$prefix/drive_c/users" -mindepth 1 -type l -print0 | while IFS= read -r -d '' link; do
    rm -f "$link"
    mkdir -p "$link"
    printf '[.ShellClassInfo]\r\n' >"$link/desktop.ini"
done
# The registry file goes where Wine can read it by a drive path, whatever folders the drives map.
reg="$prefix/drive_c/tervan-settings.reg"
cat >"$reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Arial"="Liberation Sans"
"Times New Roman"="Liberation Serif"
"Verdana"="DejaVu Sans"
"Courier New"="Liberation Mono"

; Wine's "/" in the shell's folders (the machine's root folder, outside every drive): a folder chosen
; there would lie beyond what the scanner's drives name.
[-HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion\Explorer\Desktop\Namespace\{9D20AAE8-0625-44B0-9CA7-71889C2254D9}]
REG
# Glyphs the dialog fonts lack come from WenQuanYi Micro Hei (Chinese, Japanese kana, Korean Hangul);
# a font link is a list of strings, written here as the bytes regedit reads.
link_value=$(printf 'wqy-microhei.ttc,WenQuanYi Micro Hei\0\0' | od -An -v -tx1 | tr -s ' \n' ',' | sed 's/^,//; s/,$//')
{
    printf '\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\n'
    # Tahoma's bold face is a font of its own, linked by its full name (the tree's ticked items).
    for face in "Tahoma" "Tahoma Bold" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "Arial" "Verdana"; do
        printf '"%s"=hex(7):%s\n' "$face" "$link_value"
    done
} >>"$reg"
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
check 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' Tahoma 'wqy-microhei'
if [ "$desktop" = --desktop ]; then check 'HKCU\Software\Wine\Explorer\Desktops' Default 1280x1024; fi
