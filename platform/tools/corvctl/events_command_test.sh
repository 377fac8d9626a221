#!/bin/bash
# Black-box test of `corvctl events`: a program with its own message table is
# registered as an event source on a private platform root, writes events, and
# corvctl shows them formatted, as text and as JSON lines.
#   events_command_test.sh CORVCTL SAMPLE_PROGRAM
set -u
corvctl=$1
sample=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
export CORVANTEL_ROOT=$root/machine CORVANTEL_USER_ROOT=$root/user
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

"$sample" install Sample || fail "install"
"$sample" report Sample 2 1 /var 97 $'ok\xff' || fail "report 1"
"$sample" report "10.0.0.5" 3 2 $'plain text\r\nsecond line' || fail "report 2"

text=$("$corvctl" events) || fail "events exit status $?"
grep -q '^Record 1  .*  Error  source Sample  event 2  computer ' <<<"$text" || fail "text header: $text"
grep -qF '    Disk /var is full (97% used).' <<<"$text" || fail "text message: $text"
grep -qF '    Details: ok\xff' <<<"$text" || fail "non-UTF-8 byte not shown escaped: $text"
grep -q '^Record 2  .*  Warning  source 10.0.0.5  event 3' <<<"$text" || fail "second record: $text"
grep -qF '    second line' <<<"$text" || fail "insert of an unregistered source: $text"

json=$("$corvctl" events --json --source SAMPLE) || fail "events --json exit status $?"
python3 - "$json" <<'PY' || fail "json: $json"
import json, sys
lines = sys.argv[1].splitlines()
assert len(lines) == 1, lines
r = json.loads(lines[0])
assert r["record"] == 1 and r["eventId"] == 2 and r["typeName"] == "Error" and r["source"] == "Sample", r
assert r["message"] == "Disk /var is full (97% used).\r\r\nDetails: ok\udcff\r\n", repr(r["message"])
raw = [s.encode("utf-8", "surrogateescape") for s in r["strings"]]
assert raw == [b"/var", b"97", b"ok\xff"], raw
PY

"$corvctl" events --frobnicate 2>/dev/null
[ $? -eq 2 ] || fail "bad argument does not exit 2"
"$corvctl" events --source 2>/dev/null
[ $? -eq 2 ] || fail "missing value does not exit 2"

# --follow prints what arrives later and ends on SIGINT with status 0.
"$corvctl" events --follow --source Sample >"$root/follow.out" &
follower=$!
sleep 0.5
"$sample" report Sample 1000 4 admin
for _ in $(seq 50); do grep -q 'Login failed for admin' "$root/follow.out" && break; sleep 0.1; done
kill -INT $follower
wait $follower
[ $? -eq 0 ] || fail "--follow did not end cleanly on SIGINT"
grep -q 'Login failed for admin' "$root/follow.out" || fail "--follow missed the new event: $(cat "$root/follow.out")"

[ $failures -eq 0 ] && echo "corvctl events: all checks passed"
exit $((failures > 0))
