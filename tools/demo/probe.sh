#!/usr/bin/env bash
# ./kesi demo --probe: the diagnostic run of the client's main job against the bundled appliance simulator
# (kesiprobe, a support tool, in place of the page and the broker). The simulator serves the
# demo scenario (tests/appliance/scenarios/default.json: one literal of every kind, and one of a kind the
# client does not know) on a free loopback port; kesiprobe then logs on under Wine, fetches the list,
# evaluates it on the Wine prefix, posts the results and prints the report and the zone.
# ./kesi builds win64 before running this. Extra arguments go to kesiprobe (e.g. --credential TEXT).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
wine_run="$top/build/win64/wine-run"
probe="$top/build/win64/tools/kesiprobe/kesiprobe.exe"
simulator="$top/tests/appliance/simulator.py"
scenario="$top/tests/appliance/scenarios/default.json"
for f in "$wine_run" "$probe"; do
  [ -e "$f" ] || { echo "demo: missing $f (run ./kesi build)" >&2; exit 1; }
done

"$wine_run" --prepare

work=$(mktemp -d)
sim_pid=""
stop_simulator() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop_simulator EXIT
trap 'exit 130' INT TERM

python3 "$simulator" --port 0 --scenario "$scenario" --journal "$work/journal.txt" >"$work/out" 2>"$work/err" &
sim_pid=$!
port=""
for _ in $(seq 100); do
  port=$(awk '$1 == "LISTENING" { print $3; exit }' "$work/out")
  [ -n "$port" ] && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "demo: the appliance simulator did not start" >&2
  cat "$work/err" >&2
  exit 1
fi

echo "== appliance simulator on 127.0.0.1:$port, scenario $(basename "$scenario")"
# The simulator's certificate is self-signed and made at start: the probe ignores certificate errors as
# the control does (--insecure) rather than the demo adding a throw-away root to the prefix.
echo "== kesiprobe interrogate --appliance 127.0.0.1:$port --insecure"
echo
set +e
"$wine_run" "$probe" interrogate --appliance "127.0.0.1:$port" --insecure "$@" >"$work/report" 2>"$work/errors"
rc=$?
set -e
tr -d '\r' <"$work/report"
tr -d '\r' <"$work/errors" >&2

echo
if [ $rc -eq 0 ]; then
  zone=$(tr -d '\r' <"$work/report" | awk '$1 == "zone" && NF >= 2 { $1 = ""; sub(/^ +/, ""); print; exit }')
  echo "== the appliance placed this machine in zone \"$zone\""
  echo "   (the simulator's journal of the exchange, procedures 1, 10 and 11:)"
  sed -E 's/ (ctype|ua)="[^"]*"//g' "$work/journal.txt" |
    awk '{ if (length($0) > 150) $0 = substr($0, 1, 146) " ..."; print "   " $0 }'
else
  echo "== kesiprobe exited with $rc"
fi
exit $rc
