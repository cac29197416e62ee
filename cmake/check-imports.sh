#!/usr/bin/env bash
# check-imports.sh OBJDUMP WINEPREFIX FILE: fails when FILE imports a DLL the system does not have.
set -u
objdump=$1 prefix=$2 file=$3
[ -f "$prefix/.kesi-ready" ] || "$(dirname "$prefix")/wine-run" --prepare
sys="$prefix/drive_c/windows/system32"
bad=0
for dll in $("$objdump" -p "$file" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
  lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
  case "$lower" in lib*) echo "$file imports the runtime DLL $dll"; bad=1; continue ;; esac
  [ -n "$(find "$sys" -maxdepth 1 -iname "$dll" -print -quit)" ] || { echo "$file imports $dll, not a system DLL"; bad=1; }
done
exit $bad
