#!/usr/bin/env bash
# ./kesi demo, for now: the log file at work. logdemo writes a fresh, ciphered "KESInterrogator.log" in
# the Wine prefix's log folder the way the interrogator object does; the file is shown as written (one
# Base64 line per logged line) and then read back through kesilog, the support staff's reader.
# Numbered messages carry their own line end, so each is followed by an empty line.
# ./kesi builds win64 before running this.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
wine_run="$top/build/win64/wine-run"
logdemo="$top/build/win64/tools/logdemo/logdemo.exe"
kesilog="$top/build/win64/tools/kesilog/kesilog.exe"
for f in "$wine_run" "$logdemo" "$kesilog"; do
  [ -e "$f" ] || { echo "demo: missing $f (run ./kesi build)" >&2; exit 1; }
done

"$wine_run" --prepare
path=$("$wine_run" "$logdemo" "$@" | tr -d '\r')
file=$("$wine_run" winepath -u "$path" 2>/dev/null | tr -d '\r')
[ -f "$file" ] || { echo "demo: logdemo wrote no log ($path)" >&2; exit 1; }

echo "== $path"
echo "   ($file: $(wc -l < "$file") ciphered lines, $(wc -c < "$file") bytes; the first three:)"
head -n 3 "$file" | cut -c1-100 | sed 's/^/   /'
echo
echo "== read back through kesilog"
"$wine_run" "$kesilog" "$path" | tr -d '\r' | sed 's/^/   /'
