#!/usr/bin/env bash
# The client as a user meets it, under Wine, on a Wine prefix of the bench's own, made fresh for the run and
# removed after it: a stock machine with nothing of the tests' in it (no test registration of the build's
# library, no fixtures), where installing and removing the client touches nothing that a test run of the
# shared prefix holds.
#   1. kesi.msi of the build installed by msiexec /i /qn; then a page stand-in (cscript of the build's
#      bitness) calls DoVistaInterrogation against the appliance simulator with a list of 40 literals
#      (scenario.json), cold and warm, against the same interrogation in process; the client is removed.
#   2. kesi.msi installed by the bootstrapper in program mode against msiexec /i /qn of the same file.
#   run.sh [RUNS [INSTALL_RUNS]]   (KESI_BUILD: build folder, build/win64 by default; 10 and 5)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
here="$top/bench/ship"
build=${KESI_BUILD:-$top/build/win64}
run="$build/wine-run"
bench="$build/bench/ship/ship_bench.exe"
script="$build/bench/ship/page.js"
package="$build/packaging/kesi.msi"
bootstrapper="$build/src/bootstrapper/kesiMsiBootstraper.exe"
for file in "$bench" "$script" "$package" "$bootstrapper"; do
  [ -f "$file" ] || { echo "ship bench: $file is not built (./kesi build)" >&2; exit 1; }
done
runs=10 installs=5
case "${1:-}" in ''|*[!0-9]*) ;; *) runs=$1 ;; esac
case "${2:-}" in ''|*[!0-9]*) ;; *) installs=$2 ;; esac
windows() { local path=$1; echo "Z:${path//\//\\}"; }
bits=x86_64
grep -q 'i686' "$build/CMakeCache.txt" 2>/dev/null && bits=i686

prefix="$build/bench/ship/wineprefix"
export KESI_WINEPREFIX="$prefix"
state=$(mktemp -d "${TMPDIR:-/tmp}/kesi-ship-bench.XXXXXX")
client=0
end_prefix() {
  [ -d "$prefix" ] || return 0
  WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
  rm -rf "$prefix" "$prefix.lock"
}
cleanup() {
  # The client goes also when a step failed; then the prefix and its wineserver.
  [ $client -eq 1 ] && { "$run" "$bench" remove | tr -d '\r' || true; }
  [ -f "$state/pid" ] && kill "$(cat "$state/pid")" 2>/dev/null || true
  end_prefix
  rm -rf "$state"
}
trap cleanup EXIT
trap 'exit 143' TERM INT HUP

load_start=$(cut -d' ' -f1 /proc/loadavg)
end_prefix
made=$(date +%s.%N)
"$run" --prepare
# One wineserver for the whole run, so that every program starts as on a machine that is up.
WINEPREFIX="$prefix" wineserver -p
made=$(awk -v a="$made" -v b="$(date +%s.%N)" 'BEGIN { printf "%.0f", b - a }')

python3 "$top/tests/appliance/simulator.py" --port 0 --scenario "$here/scenario.json" --journal "$state/journal.json" \
  --background --port-file "$state/port" --pid-file "$state/pid" --log "$state/log" >/dev/null
read -r host port < "$state/port"
echo "== ship: the client as a user meets it, $bits build under Wine, on a fresh prefix of its own (made in ${made} s)"
echo "   machine: $(nproc) cores, load average $load_start at the start"

client=1
"$run" "$bench" client "$(windows "$package")" | tr -d '\r'
echo
"$run" "$bench" page "$host:$port" "$(windows "$script")" "$runs" | tr -d '\r'

# The broker that stays after a page's call, as the host system counts its memory (Wine's own counters
# leave out most of what a program allocates): the processes of this prefix that run it.
for proc in /proc/[0-9]*; do
  tr '\0' '\n' 2>/dev/null < "$proc/environ" | grep -x "WINEPREFIX=$prefix" >/dev/null || continue
  tr '\0' ' ' 2>/dev/null < "$proc/cmdline" | grep -i 'kesivista\.exe' >/dev/null || continue
  awk '/^VmRSS:/ { rss = $2 } /^VmHWM:/ { peak = $2 }
       END { printf "          the broker left running after the calls, resident %.1f MiB (peak %.1f MiB)\n",
                    rss / 1024, peak / 1024 }' "$proc/status"
done

# What the list holds, and what every run posted: the same 40 results each time.
python3 - "$here/scenario.json" "$state/journal.json" $((3 + 4 * runs)) <<'PY'
import collections, json, sys
scenario, journal, expected = sys.argv[1], sys.argv[2], int(sys.argv[3])
literals = [line for line in json.load(open(scenario))["interrogation_list"] if "=" in line]
posts = [e["arguments"][2] for e in map(json.loads, open(journal)) if e.get("procedure") == 11]
verdicts = {name: value for name, value, _ in posts[0]} if posts else {}
kinds = collections.OrderedDict()
for line in literals:
    kind, result = line.split("=", 1)[1].split(",")[:2]
    kinds.setdefault(kind, []).append(result)
print("  the list: %d literals, each with its own result, and the verdicts posted:" % len(literals))
for kind, results in kinds.items():
    true = [r for r in results if verdicts.get(r) is True]
    false = [r for r in results if r not in true]
    print("    %-14s %2d  TRUE: %s%s" % (kind, len(results), ", ".join(true) or "none",
                                        "; FALSE: " + ", ".join(false) if false else ""))
def verdict_set(post):
    return sorted((name, value) for name, value, _ in post)
same = bool(posts) and all(verdict_set(post) == verdict_set(posts[0]) for post in posts)
print("  result posts received: %d (expected %d), every one with the same %d results: %s"
      % (len(posts), expected, len(posts[0]) if posts else 0, "yes" if same else "NO"))
sys.exit(0 if len(posts) == expected and same and len(verdicts) == len(literals) else 1)
PY
"$run" "$bench" remove | tr -d '\r'
client=0

echo
client=1
"$run" "$bench" install "$(windows "$bootstrapper")" "$(windows "$package")" "$installs" | tr -d '\r'
"$run" "$bench" remove | tr -d '\r'
client=0
echo "   machine: load average $(cut -d' ' -f1 /proc/loadavg) at the end"
