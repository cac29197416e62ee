#!/usr/bin/env bash
# kesiprobe logon against an appliance simulator instance (control server in KESI_SIM_CONTROL): by default
# it verifies the certificate and so refuses the simulator's self-signed one; with --insecure it prints the
# version and the session and resumes a given credential; each run says which mode it ran in. The
# simulator notes no problem in any of its requests.
#   probe-test.sh WINE_RUNNER KESIPROBE_EXE
set -u -o pipefail
runner=$1 probe=$2
control=${KESI_SIM_CONTROL:?the simulator fixture sets KESI_SIM_CONTROL}
fail() { echo "FAIL: $*" >&2; status=1; }
status=0

control() { # METHOD PATH [BODY]
  python3 - "$control" "$@" <<'PY'
import sys, urllib.request
address, method, path = sys.argv[1:4]
body = sys.argv[4].encode() if len(sys.argv) > 4 else None
request = urllib.request.Request("http://%s%s" % (address, path), data=body, method=method)
with urllib.request.urlopen(request, timeout=10) as reply:
    sys.stdout.write(reply.read().decode())
PY
}

instance=$(control POST /instances '{"version": 12, "session": "PROBE-SESSION"}') || { echo "no instance" >&2; exit 1; }
id=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["id"])' "$instance")
port=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["port"])' "$instance")
trap 'control DELETE /instances/$id >/dev/null 2>&1' EXIT

# The probe's own exit code counts, not that of a filter behind it.
insecure="certificates: not verified (--insecure: certificate errors are ignored, as the control does)"
verified="certificates: verified (give --insecure to ignore certificate errors as the control does)"
for option in "" --strict-certificate; do
  out=$("$runner" "$probe" logon --appliance "127.0.0.1:$port" $option 2>&1)
  rc=$?
  out=${out//$'\r'/}
  [ $rc -eq 1 ] || fail "verifying logon ($option) exited $rc: $out"
  case "$out" in "$verified"*"logon failed with 12055"*) ;; *) fail "verifying logon ($option) printed: $out" ;; esac
done

out=$("$runner" "$probe" logon --appliance "127.0.0.1:$port" --insecure 2>&1)
rc=$?
out=${out//$'\r'/}
[ $rc -eq 0 ] || fail "logon exited $rc: $out"
[ "$out" = "$insecure"$'\nversion 12\nsession PROBE-SESSION' ] || fail "logon printed: $out"

out=$("$runner" "$probe" logon --appliance "127.0.0.1:$port" --credential TEAM-1 --insecure 2>&1) ||
  fail "resume exited $?: $out"
journal=$(control GET "/instances/$id/journal.txt") || fail "no journal"
grep -q 'proc=8 call=0 args=\[15,"TEAM-1"\]' <<<"$journal" || fail "no resume call in the journal"

problems=$(control GET "/instances/$id/journal.txt" | grep ' problems=') && fail "the appliance noted problems: $problems"

"$runner" "$probe" logon >/dev/null 2>&1
rc=$?
[ $rc -eq 2 ] || fail "missing --appliance exited $rc"

[ $status -eq 0 ] && echo "kesiprobe logon: ok"
exit $status
