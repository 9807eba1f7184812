#!/usr/bin/env bash
# Builds what users get from a build tree: a folder, a zip of it and an installer.
#   tools/package.sh BUILD_DIR VERSION   ->   BUILD_DIR/dist/TervanScanner/, TervanScanner-VERSION.zip,
#                                             TervanScanner-VERSION-setup.exe
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:?build folder}")
version=${2:?version}
dist="$build/dist"
folder="$dist/TervanScanner"
# Built by tools/setup.sh: its installers' stubs are relocatable, Debian's are not.
makensis=${TERVAN_MAKENSIS:-/var/cache/tervan/nsis-3.11-p1/bin/makensis}
[ -x "$makensis" ] || makensis=makensis  # Debian's, when the source could not be had (setup.sh warns)

rm -rf "$folder"
mkdir -p "$folder/Bases"
cp "$build/bin/TervanScanner.exe" "$build/bin/tervscan.exe" "$folder/"
cp "$build/bin/Bases/ScanMain.DLL" "$build/bin/Bases/tervan.tvb" "$folder/Bases/"
cp "$root/tools/installer/USE.txt" "$folder/"
i686-w64-mingw32-strip "$folder/TervanScanner.exe" "$folder/tervscan.exe" "$folder/Bases/ScanMain.DLL"
(cd "$dist" && rm -f "TervanScanner-$version.zip" && zip -q -r "TervanScanner-$version.zip" TervanScanner)
"$makensis" -V2 -DDIST="$folder" -DOUTFILE="$dist/TervanScanner-$version-setup.exe" -DVERSION="$version" \
    "$root/tools/installer/TervanScanner.nsi" >/dev/null
