#!/usr/bin/env bash
# The scriptable objects against the bare work they wrap, under Wine, with the appliance simulator:
# the logon interrogation through the interrogator object (demo scenario) against the bare logon route;
# the installer object's page call (create, credential, configuration, InstallComponentMsi of the small
# VPN client stand-in package served over HTTPS, until the product is installed) against "msiexec /i /qn"
# of the same package file, median of INSTALL_RUNS each, the product removed between runs.
#   run.sh [RUNS [INSTALL_RUNS]]        (KESI_BUILD: build folder, build/win64 by default; INSTALL_RUNS 5)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${KESI_BUILD:-$top/build/win64}
bench="$build/bench/controls/interrogator_bench.exe"
run="$build/wine-run"
installer="$build/bench/controls/installer_bench.exe"
packages="$build/tests/fixtures/msi/packages"
[ -f "$bench" ] && [ -f "$installer" ] && [ -f "$packages/tqclient-1.2.3.msi" ] ||
  { echo "controls bench: $bench, $installer or the fixture packages are not built (./kesi build)" >&2; exit 1; }
runs=9 installs=5
case "${1:-}" in ''|*[!0-9]*) ;; *) runs=$1 ;; esac
case "${2:-}" in ''|*[!0-9]*) ;; *) installs=$2 ;; esac

state=$(mktemp -d)
cleanup() {
  for pid in "$state"/pid "$state"/pid2; do [ -f "$pid" ] && kill "$(cat "$pid")" 2>/dev/null || true; done
  rm -rf "$state"
}
trap cleanup EXIT

python3 "$top/tests/appliance/simulator.py" --port 0 --scenario "$top/tests/appliance/scenarios/default.json" \
  --background --port-file "$state/port" --pid-file "$state/pid" --log "$state/log" >/dev/null
read -r host port < "$state/port"
echo "== controls: the logon interrogation through the interrogator object, demo scenario, simulator on $host:$port"
"$run" "$bench" "$host:$port" "$runs"

printf '{"files": "%s"}\n' "$packages" > "$state/packages.json"
python3 "$top/tests/appliance/simulator.py" --port 0 --scenario "$state/packages.json" --background \
  --port-file "$state/port2" --pid-file "$state/pid2" --log "$state/log2" >/dev/null
read -r host port < "$state/port2"
package="Z:${packages//\//\\}\\tqclient-1.2.3.msi"
out=$("$run" "$installer" "$host:$port" "$package" "$installs" | tr -d '\r')
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<< "$out"; }
page=$(field page_s) plain=$(field msiexec_s)
echo
echo "== controls: the installer object's page call, simulator on $host:$port, $installs runs each (median)"
printf '  %-44s %8s s\n' "reference: msiexec /i /qn (local file)" "$plain"
printf '  %-44s %8s s   ratio %s\n' "InstallComponentMsi page call -> installed" "$page" \
  "$(awk -v a="$page" -v b="$plain" 'BEGIN { printf "%.3f", a / b }')"
echo "  ratio = page call seconds / msiexec seconds (medians). The page call adds the object, the"
echo "  configuration file, the HTTPS download, the signature check and the install decision."
