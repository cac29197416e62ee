#!/usr/bin/env bash
# Median microseconds of provisioning 10 current agents (5 DLLs, 5 configuration files already in the
# deploy folder: nothing to fetch), one provisioner per agent as the interrogator makes them, and the ratio
# to the bare checks behind that answer (file attributes, and the version resource of each DLL).
#   run.sh [ROUNDS]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
bench="$top/build/win64/bench/provision/provision_bench.exe"
[ -f "$bench" ] || { echo "provision bench: $bench is not built (./kesi build)" >&2; exit 1; }
rounds=50
case "${1:-}" in ''|*[!0-9]*) ;; *) rounds=$1 ;; esac
echo "== provision: x86_64 Windows build under Wine, 10 current agents"
"$top/build/win64/wine-run" "$bench" "$rounds"
