#!/usr/bin/env bash
# The interrogation engine: cost per literal of each kind (COUNT literals of one kind, each feeding its own
# result so that every one is evaluated; the unlisted kind is the engine's own cost and the reference of
# the ratio), then one mixed list of COUNT literals end to end against the appliance simulator: list in
# (procedure 10), evaluation, results out (procedure 11), against the two exchanges alone. Goal: under
# 2 s for 1,000 literals under Wine. Also the wildcard matcher's hardest pattern against one star, and the
# result lookup: 65,534 literals with distinct results against as many sharing one (goal: within 2x).
#   run.sh [COUNT]        (KESI_BUILD: build folder, build/win64 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${KESI_BUILD:-$top/build/win64}
bench="$build/bench/interrogation/interrogation_bench.exe"
double="$build/tests/fixtures/opswat/opswat_engine.exe"
run="$build/wine-run"
[ -f "$bench" ] || { echo "interrogation bench: $bench is not built (./kesi build)" >&2; exit 1; }
count=1000
case "${1:-}" in ''|*[!0-9]*) ;; *) count=$1 ;; esac

state=$(mktemp -d)
registered_here=0
cleanup() {
  [ -f "$state/pid" ] && kill "$(cat "$state/pid")" 2>/dev/null || true
  [ $registered_here -eq 1 ] && "$run" "$double" /UnregServer || true
  rm -rf "$state"
}
trap cleanup EXIT

# The OPSWAT kinds need an engine: the test double, registered for the run unless it already is.
clsid='HKLM\Software\Classes\CLSID\{6F254038-67F0-4388-973B-91CE0EBF3B24}\LocalServer32'
if [ -f "$double" ]; then
  if ! "$run" reg query "$clsid" >/dev/null 2>&1; then
    "$run" "$double" /RegServer && registered_here=1
  fi
else
  echo "(no OPSWAT engine double built: the OPSWAT rows measure a failed activation)"
fi

echo "== interrogation: x86_64 Windows build under Wine, per kind ($count literals each)"
"$run" "$bench" table "$count"

echo
echo "== interrogation: the checks' wildcard matcher"
"$run" "$bench" wildcard

echo
echo "== interrogation: the result lookup, distinct results against one shared result"
"$run" "$bench" results 65534

echo
"$run" "$bench" lines "$count" | tr -d '\r' > "$state/lines"
python3 - "$state/lines" "$state/scenario.json" <<'PY'
import json, sys
lines = [l for l in open(sys.argv[1], encoding="utf-8").read().split("\n") if l]
json.dump({"name": "bench", "version": 15, "interrogation_list": ["[InterrogationLiterals]"] + lines},
          open(sys.argv[2], "w"))
PY
python3 "$top/tests/appliance/simulator.py" --port 0 --scenario "$state/scenario.json" --background \
  --port-file "$state/port" --pid-file "$state/pid" --log "$state/log" >/dev/null
read -r host port < "$state/port"
echo "== interrogation: mixed list end to end, simulator on $host:$port"
"$run" "$bench" e2e "$host:$port" 3

# One full logon interrogation as an administrator runs it, with the demo's scenario (every literal kind):
# kesiprobe interrogate, whole process, median wall time; the reference is kesiprobe logon in the same run
# (process start and one exchange), so the difference is the list, the evaluation and the results.
probe="$build/tools/kesiprobe/kesiprobe.exe"
if [ -f "$probe" ]; then
  kill "$(cat "$state/pid")" 2>/dev/null || true
  rm -f "$state/pid" "$state/port"
  python3 "$top/tests/appliance/simulator.py" --port 0 --scenario "$top/tests/appliance/scenarios/default.json" \
    --background --port-file "$state/port" --pid-file "$state/pid" --log "$state/log" >/dev/null
  read -r host port < "$state/port"
  echo
  echo "== interrogation: one full logon interrogation with the demo scenario, simulator on $host:$port"
  python3 - "$run" "$probe" "$host:$port" <<'PY'
import statistics, subprocess, sys, time
run, probe, appliance = sys.argv[1:4]
def median_of(verb, runs=11):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run([run, probe, verb, "--appliance", appliance], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    return statistics.median(times)
logon, full = median_of("logon"), median_of("interrogate")
print("  kesiprobe logon (reference: process start + one exchange)  median %.3f s" % logon)
print("  kesiprobe interrogate (logon, list, evaluation, results)   median %.3f s  ratio %.2f" % (full, full / logon))
print("  both over 11 runs, whole Windows processes under Wine")
PY
fi
