#!/usr/bin/env bash
# Median milliseconds of one logon exchange (procedure 1) against the appliance simulator on loopback, over
# 50 calls, and the ratio to a bare WinINet exchange of the same bytes in the same run.
#   run.sh [CALLS]
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
bench="$top/build/win64/bench/logon/logon_bench.exe"
[ -f "$bench" ] || { echo "logon bench: $bench is not built (./kesi build)" >&2; exit 1; }
calls=50
case "${1:-}" in ''|*[!0-9]*) ;; *) calls=$1 ;; esac

state=$(mktemp -d)
cleanup() {
  [ -f "$state/pid" ] && kill "$(cat "$state/pid")" 2>/dev/null || true
  rm -rf "$state"
}
trap cleanup EXIT
python3 "$top/tests/appliance/simulator.py" --port 0 --background --port-file "$state/port" \
  --pid-file "$state/pid" --log "$state/log" >/dev/null
read -r host port < "$state/port"
echo "== logon: x86_64 Windows build under Wine, simulator on $host:$port"
"$top/build/win64/wine-run" "$bench" "$host:$port" "$calls"
