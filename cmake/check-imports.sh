#!/usr/bin/env bash
# check-imports.sh OBJDUMP WINEPREFIX WINE-RUN FILE: fails when FILE imports a DLL the system does not have (for a
# 32-bit file, the prefix's syswow64; for a 64-bit one, its system32), or a MinGW runtime DLL; fails too
# when FILE is missing or objdump cannot read it, so that the check never passes on nothing.
set -u
objdump=$1 prefix=$2 winerun=$3 file=$4
[ -f "$file" ] || { echo "$file: no such file"; exit 1; }
[ -f "$prefix/.kesi-ready" ] || "$winerun" --prepare || exit 1
headers=$("$objdump" -p "$file" 2>&1) || { echo "$objdump cannot read $file: $headers" | head -3; exit 1; }
case "$headers" in
  *"file format pei-i386"*) sys="$prefix/drive_c/windows/syswow64" ;;
  *"file format pei-x86-64"*) sys="$prefix/drive_c/windows/system32" ;;
  *) echo "$file is not a Windows program or library"; exit 1 ;;
esac
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p')
[ -n "$dlls" ] || { echo "$file imports nothing: not what a deliverable looks like"; exit 1; }
bad=0
for dll in $dlls; do
  lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
  case "$lower" in lib*) echo "$file imports the runtime DLL $dll"; bad=1; continue ;; esac
  [ -n "$(find "$sys" -maxdepth 1 -iname "$dll" -print -quit)" ] || { echo "$file imports $dll, not a system DLL"; bad=1; }
done
exit $bad
