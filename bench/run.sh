#!/usr/bin/env bash
# Runs every benchmark (bench/<name>/run.sh, in name order) after ./kesi has built win64 and native.
# Arguments are passed to each. Exits non-zero when one of them fails.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
rc=0 found=0
for script in "$top"/bench/*/run.sh; do
  [ -f "$script" ] || continue
  found=1
  name=$(basename "$(dirname "$script")")
  echo "== bench/$name"
  bash "$script" "$@" || { echo "bench/$name failed" >&2; rc=1; }
  echo
done
[ $found -eq 1 ] || { echo "no benchmarks under $top/bench" >&2; exit 1; }
exit $rc
