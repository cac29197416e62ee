#!/usr/bin/env bash
# ./kesi demo [--win32] [--check]: the client as a user meets it, on a fresh Wine prefix (tools/demo/demo.py):
# the simulator's download page, the bootstrapper's install and first interrogation, a page's call served by
# the broker, the uninstall; the 64-bit build, or the 32-bit one with --win32.
# ./kesi demo --probe [KESIPROBE ARGS]: the diagnostic run with kesiprobe (tools/demo/probe.sh).
# ./kesi builds what the chosen run needs before running this.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [ "${1:-}" = "--probe" ]; then
  exec bash "$here/demo/probe.sh" "${@:2}"
fi
preset=win64
args=()
for arg in "$@"; do
  case "$arg" in
    --win32) preset=win32 ;;
    --win64) preset=win64 ;;
    *) args+=("$arg") ;;
  esac
done
exec python3 "$here/demo/demo.py" --preset "$preset" ${args[@]+"${args[@]}"}
