#!/usr/bin/env bash
# The install engine under Wine (build/win64), against the appliance simulator on loopback:
#   B1 "nothing to install" on a current 20-file component, median of B1_RUNS (50), against the same file,
#      profile and version-file calls made bare (goal: ratio < 5);
#   B2 full install of the 20-file, 5 MB signed CAB over HTTPS, median of B2_RUNS (10), against the
#      transfer plus a bare extraction of the same CAB (goal: ratio < 1.5).
#   run.sh [B1_RUNS [B2_RUNS]]        (KESI_BUILD: build folder, build/win64 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${KESI_BUILD:-$top/build/win64}
bench="$build/bench/install/install_bench.exe"
scenario="$build/bench/install/component/scenario.json"
[ -f "$bench" ] && [ -f "$build/bench/install/component/kesibench.cab" ] ||
  { echo "install bench: $bench or its component is not built (./kesi build)" >&2; exit 1; }
quick=50 full=10
case "${1:-}" in ''|*[!0-9]*) ;; *) quick=$1 ;; esac
case "${2:-}" in ''|*[!0-9]*) ;; *) full=$2 ;; esac

state=$(mktemp -d)
cleanup() {
  [ -f "$state/pid" ] && kill "$(cat "$state/pid")" 2>/dev/null || true
  rm -rf "$state"
}
trap cleanup EXIT
python3 "$top/tests/appliance/simulator.py" --port 0 --scenario "$scenario" --background \
  --port-file "$state/port" --pid-file "$state/pid" --log "$state/log" >/dev/null
read -r host port < "$state/port"
echo "== install: x86_64 Windows build under Wine, simulator on $host:$port"
"$build/wine-run" "$bench" "$host:$port" /postauth/kesibench.cab "$quick" "$full" | tr -d '\r'
