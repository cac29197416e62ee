#!/usr/bin/env bash
# The broker under Wine, with no network ("x y" is answered 3): a page's call to its result for the first
# call, a call that replaces a running broker and a call to a running one, through the library's client
# end against a client that follows the written 3000 ms sleep; the hand-over from a running broker to a
# new one against a stopper that follows the written 2000 ms sleep and 300 ms polls; and the sustained rate
# of sequential commands against a bare in-process pipe round trip. Medians, ratios from the same run.
#   run.sh [RUNS [SLOW_RUNS [COMMANDS]]]   (KESI_BUILD: build folder, build/win64 by default; 20 5 300)
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${KESI_BUILD:-$top/build/win64}
bench="$build/bench/broker/broker_bench.exe"
broker=$(find "$build/src/broker" -maxdepth 2 -iname kesivista.exe -print -quit 2>/dev/null || true)
[ -f "$bench" ] && [ -n "$broker" ] ||
  { echo "broker bench: $bench or the broker kesivista.exe under $build/src/broker is not built (./kesi build)" >&2; exit 1; }
runs=20 slow=5 commands=300
case "${1:-}" in ''|*[!0-9]*) ;; *) runs=$1 ;; esac
case "${2:-}" in ''|*[!0-9]*) ;; *) slow=$2 ;; esac
case "${3:-}" in ''|*[!0-9]*) ;; *) commands=$3 ;; esac
echo "== broker: $runs runs of each product figure, $slow of each reference with a fixed sleep"
"$build/wine-run" "$bench" "Z:${broker//\//\\}" "$runs" "$slow" "$commands"
