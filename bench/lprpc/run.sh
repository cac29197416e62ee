#!/usr/bin/env bash
# Decodes and walks LPRPC structures of 1,000, 10,000 and 65,535 String members, natively and as the
# Windows build under Wine.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
native="$top/build/native/bench/lprpc/lprpc_bench"
windows="$top/build/win64/bench/lprpc/lprpc_bench.exe"
for t in "$native" "$windows"; do
  [ -x "$t" ] || [ -f "$t" ] || { echo "lprpc bench: $t is not built (./kesi build)" >&2; exit 1; }
done
echo "== lprpc: native (clang -O2)"
"$native" "$@"
echo "== lprpc: x86_64 Windows build under Wine"
"$top/build/win64/wine-run" "$windows" "$@"
