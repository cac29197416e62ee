#!/usr/bin/env bash
# Log writes per second under Wine (build/win64): one process, one process with the line cipher, and two
# processes writing one file at once, against plain WriteFile of lines of the same length in the same run.
#   bench/log/run.sh            KESI_BENCH_LOG_LINES (default 10000) lines per writer
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
lines=${KESI_BENCH_LOG_LINES:-10000}
exe="$top/build/win64/bench/log/log_bench.exe"
wine_run="$top/build/win64/wine-run"
[ -f "$exe" ] && [ -x "$wine_run" ] || { echo "missing $exe: build the win64 preset" >&2; exit 1; }

out=$("$wine_run" "$exe" --lines "$lines" | tr -d '\r')
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<< "$out"; }
ref=$(field reference_lines_per_s)
row() { # label lines/s
  printf '  %-34s %9s lines/s   ratio %s\n' "$1" "$2" "$(awk -v a="$2" -v b="$ref" 'BEGIN { printf "%.3f", a / b }')"
}
echo "Log writes: $lines lines of about 100 bytes per writer, under Wine"
printf '  %-34s %9s lines/s\n' "reference: plain WriteFile" "$ref"
row "LogFile, one process" "$(field one_lines_per_s)"
row "LogFile, one process, ciphered" "$(field cipher_lines_per_s)"
row "LogFile, two processes, one file" "$(field two_lines_per_s)"
row "named mutex wait + release alone" "$(field mutex_pairs_per_s)"
echo "  ratio = lines/s / plain WriteFile lines/s. Two processes: both writers' lines together per second."
echo "  Every line takes the file's named mutex: under Wine two wineserver round trips, measured alone in"
echo "  the last row. The figures swing with the machine's load; run it on a quiet machine."
