#!/usr/bin/env bash
# The scriptable objects against the bare work they wrap, under Wine, with the appliance simulator:
# the logon interrogation through the interrogator object (demo scenario) against the bare logon route.
#   run.sh [RUNS]        (KESI_BUILD: build folder, build/win64 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${KESI_BUILD:-$top/build/win64}
bench="$build/bench/controls/interrogator_bench.exe"
run="$build/wine-run"
[ -f "$bench" ] || { echo "controls bench: $bench is not built (./kesi build)" >&2; exit 1; }
runs=9
case "${1:-}" in ''|*[!0-9]*) ;; *) runs=$1 ;; esac

state=$(mktemp -d)
cleanup() {
  [ -f "$state/pid" ] && kill "$(cat "$state/pid")" 2>/dev/null || true
  rm -rf "$state"
}
trap cleanup EXIT

python3 "$top/tests/appliance/simulator.py" --port 0 --scenario "$top/tests/appliance/scenarios/default.json" \
  --background --port-file "$state/port" --pid-file "$state/pid" --log "$state/log" >/dev/null
read -r host port < "$state/port"
echo "== controls: the logon interrogation through the interrogator object, demo scenario, simulator on $host:$port"
"$run" "$bench" "$host:$port" "$runs"
