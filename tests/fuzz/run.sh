#!/usr/bin/env bash
# Runs every libFuzzer target of the native build for a bounded time each.
#   tests/fuzz/run.sh [SECONDS]     seconds per target: the argument, else $KESI_FUZZ_SECONDS, else 30
# Each target starts from its seed corpus (tests/fuzz/corpus/<target>, never written to) and a working
# corpus under build/native/fuzz/ that grows from run to run; crashing inputs land in
# build/native/fuzz/artifacts/. Exits non-zero when a target fails or none is built.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-${KESI_FUZZ_SECONDS:-30}}
case "$secs" in ''|*[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;; esac
bin="$top/build/native/tests/fuzz"
work="$top/build/native/fuzz"
mkdir -p "$work/artifacts"

found=0 failed=()
for exe in "$bin"/fuzz_*; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue
  found=$((found + 1))
  name=$(basename "$exe")
  corpus="$work/corpus/$name"
  seeds="$top/tests/fuzz/corpus/$name"
  mkdir -p "$corpus"
  [ -d "$seeds" ] || seeds=""
  log="$work/$name.log"
  printf '[fuzz] %-28s %ss ... ' "$name" "$secs"
  # -close_fd_mask=3: the code under test reports failures on stdout/stderr; libFuzzer keeps its own.
  "$exe" -max_total_time="$secs" -close_fd_mask=3 -print_final_stats=1 \
         -artifact_prefix="$work/artifacts/$name-" "$corpus" ${seeds:+"$seeds"} > "$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  if [ $rc -eq 0 ]; then
    echo "ok, ${runs:-?} runs, ${cov:-cov: ?}, corpus $(ls "$corpus" | wc -l) inputs"
  else
    echo "FAILED (exit $rc), see $log"
    grep -m5 -E 'ERROR|SUMMARY|Test unit written' "$log" | sed 's/^/    /'
    failed+=("$name")
  fi
done

if [ $found -eq 0 ]; then
  echo "[fuzz] no fuzz targets in $bin (build the native preset first)" >&2
  exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "[fuzz] failed: ${failed[*]}"
  exit 1
fi
echo "[fuzz] $found targets, no failures"
