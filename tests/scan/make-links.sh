#!/bin/sh
# Folder links that a test drive holds for the walk tests (Wine shows Unix links as plain folders):
#   links/loop/a/up -> ..          a link to an ancestor
#   links/loop/a/abs -> .../loop/a a link to the folder itself, by absolute path
#   links/loop/b/side -> ../a      a link to a sibling
#   links/target -> loop/b         a linked folder given as a target
#   links/out/away -> a folder of the machine outside every drive of the test prefix
set -eu
drive=${1:?drive folder}
rm -rf "$drive/links"
mkdir -p "$drive/links/loop/a" "$drive/links/loop/b"
printf 'clean\n' >"$drive/links/loop/a/one.exe"
printf 'clean\n' >"$drive/links/loop/b/two.exe"
ln -s .. "$drive/links/loop/a/up"
ln -s "$(cd "$drive/links/loop/a" && pwd)" "$drive/links/loop/a/abs"
ln -s ../a "$drive/links/loop/b/side"
ln -s loop/b "$drive/links/target"
mkdir -p "$drive/links/out"
printf 'clean\n' >"$drive/links/out/plain.exe"
ln -s /usr/share/common-licenses "$drive/links/out/away"
