#!/bin/sh
# Fails when a program imports a library that Windows does not always take from its own folder (its
# known libraries, and the common controls through the manifest): such an import would be searched
# beside the program first, where anyone may plant a DLL of that name. Others are loaded by hand
# from the system folder.
#   system-imports.sh PROGRAM...
set -eu
allowed=" advapi32.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll rpcrt4.dll shell32.dll user32.dll "
status=0
for program in "$@"; do
    for dll in $(i686-w64-mingw32-objdump -p "$program" | sed -n 's/^.*DLL Name: //p' | tr 'A-Z' 'a-z'); do
        case "$allowed" in
        *" $dll "*) ;;
        *) echo "$program imports $dll, which Windows would look for beside it first" >&2; status=1 ;;
        esac
    done
done
exit $status
