#!/usr/bin/env bash
# DoMsiInstall of the small VPN client stand-in package against "msiexec /i /qn" of the same file, under
# Wine (build/win64), in the same run.
#   bench/msi/run.sh            KESI_BENCH_MSI_ROUNDS (default 3) installs and removals of each
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
rounds=${KESI_BENCH_MSI_ROUNDS:-3}
exe="$top/build/win64/bench/msi/msi_bench.exe"
package="$top/build/win64/tests/fixtures/msi/packages/tqclient-1.2.3.msi"
wine_run="$top/build/win64/wine-run"
[ -f "$exe" ] && [ -f "$package" ] && [ -x "$wine_run" ] ||
  { echo "missing $exe or $package: build the win64 preset with its tests" >&2; exit 1; }

out=$("$wine_run" "$exe" "Z:${package//\//\\}" 1.2.3 "$rounds" | tr -d '\r')
field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p" <<< "$out"; }
client=$(field domsiinstall_s) plain=$(field msiexec_s)
echo "Windows Installer: the VPN client stand-in package (one file), $rounds installs each, under Wine"
printf '  %-34s %8s s\n' "reference: msiexec /i /qn" "$plain"
printf '  %-34s %8s s   ratio %s\n' "DoMsiInstall (direct)" "$client" "$(awk -v a="$client" -v b="$plain" 'BEGIN { printf "%.3f", a / b }')"
echo "  ratio = DoMsiInstall seconds / msiexec seconds per install (mean). DoMsiInstall adds the decision's"
echo "  product query and the configuration file's reads before the same msiexec run."
