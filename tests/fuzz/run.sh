#!/usr/bin/env bash
# Runs every libFuzzer target of the native build for a bounded time, or a number of executions, each.
#   tests/fuzz/run.sh [SECONDS] [TARGET...]        seconds per target: the argument, else
#                                                  $KESI_FUZZ_SECONDS, else 30
#   tests/fuzz/run.sh --runs N [TARGET...]         N executions per target, however long that takes (the
#                                                  long run; also $KESI_FUZZ_RUNS)
# TARGET names limit the run to those targets (fuzz_lprpc_decode ...). Each target starts from its seed
# corpus (tests/fuzz/corpus/<target>, never written to) and a working corpus under build/native/fuzz/
# that grows from run to run; crashing inputs land in build/native/fuzz/artifacts/. Exits non-zero when
# a target fails or none is built.
set -uo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
usage() { echo "usage: $0 [SECONDS | --runs N] [TARGET...]" >&2; exit 2; }
runs=${KESI_FUZZ_RUNS:-}
secs=${KESI_FUZZ_SECONDS:-30}
if [ "${1:-}" = "--runs" ]; then
  [ $# -ge 2 ] || usage
  runs=$2
  shift 2
elif [ -n "${1:-}" ] && [ -z "${1//[0-9]/}" ]; then
  secs=$1 runs=""
  shift
fi
case "$secs" in ''|*[!0-9]*) usage ;; esac
case "$runs" in *[!0-9]*) usage ;; esac
targets=("$@")
bin="$top/build/native/tests/fuzz"
work="$top/build/native/fuzz"
mkdir -p "$work/artifacts"
if [ -n "$runs" ]; then limit=(-runs="$runs") shown="$runs runs"; else limit=(-max_total_time="$secs") shown="${secs}s"; fi

found=0 failed=()
for exe in "$bin"/fuzz_*; do
  [ -f "$exe" ] && [ -x "$exe" ] || continue
  name=$(basename "$exe")
  if [ ${#targets[@]} -gt 0 ] && [[ " ${targets[*]} " != *" $name "* ]]; then continue; fi
  found=$((found + 1))
  corpus="$work/corpus/$name"
  seeds="$top/tests/fuzz/corpus/$name"
  mkdir -p "$corpus"
  [ -d "$seeds" ] || seeds=""
  log="$work/$name.log"
  printf '[fuzz] %-28s %s ... ' "$name" "$shown"
  started=$SECONDS
  # -close_fd_mask=3: the code under test reports failures on stdout/stderr; libFuzzer keeps its own.
  "$exe" "${limit[@]}" -close_fd_mask=3 -print_final_stats=1 \
         -artifact_prefix="$work/artifacts/$name-" "$corpus" ${seeds:+"$seeds"} > "$log" 2>&1
  rc=$?
  done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  if [ $rc -eq 0 ]; then
    echo "ok, ${done_runs:-?} runs in $((SECONDS - started))s, ${cov:-cov: ?}, corpus $(ls "$corpus" | wc -l) inputs"
  else
    echo "FAILED (exit $rc), see $log"
    grep -m5 -E 'ERROR|SUMMARY|Test unit written' "$log" | sed 's/^/    /'
    failed+=("$name")
  fi
done

if [ $found -eq 0 ]; then
  echo "[fuzz] no fuzz targets${targets[*]:+ named ${targets[*]}} in $bin (build the native preset first)" >&2
  exit 1
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "[fuzz] failed: ${failed[*]}"
  exit 1
fi
echo "[fuzz] $found targets, no failures"
