#!/usr/bin/env bash
# Starts or stops the appliance simulator's control server for a test run.
#   simulator-fixture.sh start|stop STATE_DIR HOST:PORT
# Runs that overlap share one server. Each run is known by the process id of the ctest that runs this
# script: start adds it to the users (reusing a server that answers), stop removes it, and the server is
# shut down when no live user remains, so a run that was cut short keeps no server alive for ever.
set -u
verb=$1 state=$2 address=$3
top=$(cd "$(dirname "$0")/.." && pwd)
simulator="$top/tests/appliance/simulator.py"
run=$PPID
mkdir -p "$state"
exec 9>"$state/lock"
flock 9

answers() {
  python3 - "$address" <<'PY'
import sys, urllib.request
try:
    with urllib.request.urlopen("http://%s/" % sys.argv[1], timeout=3) as r:
        sys.exit(0 if b"simulator control" in r.read() else 1)
except Exception:
    sys.exit(1)
PY
}

# The users that still run, one process id per line, without the one given.
live_users() {
  [ -f "$state/users" ] || return 0
  while read -r pid; do
    [ -n "$pid" ] && [ "$pid" != "${1:-}" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
  done < "$state/users"
}

case "$verb" in
  start)
    others=$(live_users "$run")
    printf '%s\n' $others "$run" > "$state/users"
    if answers; then
      echo "reusing the control server on $address"
      exit 0
    fi
    rm -f "$state/port" "$state/pid"
    # 9>&-: the server must not inherit the lock, or every later start and stop would wait for it.
    python3 "$simulator" --control "$address" --background --port-file "$state/port" \
      --pid-file "$state/pid" --log "$state/log" 9>&- || { cat "$state/log" >&2 2>/dev/null; exit 1; }
    answers || { echo "the control server does not answer on $address" >&2; cat "$state/log" >&2 2>/dev/null; exit 1; }
    echo "control server on $address"
    ;;
  stop)
    others=$(live_users "$run")
    if [ -n "$others" ]; then
      printf '%s\n' $others > "$state/users"
      exit 0
    fi
    rm -f "$state/users"
    python3 - "$address" <<'PY' || true
import sys, urllib.request
try:
    urllib.request.urlopen(urllib.request.Request("http://%s/server" % sys.argv[1], method="DELETE"), timeout=5).read()
except Exception:
    pass
PY
    pid=$(cat "$state/pid" 2>/dev/null || true)
    if [ -n "$pid" ]; then
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill "$pid" 2>/dev/null || true
    fi
    ;;
  *) echo "usage: $0 start|stop STATE_DIR HOST:PORT" >&2; exit 2 ;;
esac
