#!/bin/bash
# Black-box test of `corvctl stats` on a private platform root: statistics
# files written by hand into a service's state folder, shown as a table and
# as JSON, with the service stopped, running under the manager, or unknown to
# it; and every way the file can be missing, unreadable or damaged.
# usage: stats_command_test.sh PATH/TO/corvctl PATH/TO/corvantel_test_service
set -u
corvctl=$1
service_program=$2
tmp=$(mktemp -d)
export CORVANTEL_ROOT=$tmp/machine CORVANTEL_USER_ROOT=$tmp/user TZ=UTC
export CORVANTEL_SCM_START_TIMEOUT_MS=10000 CORVANTEL_SCM_STOP_TIMEOUT_MS=10000
cleanup() {
  if [ -s "$tmp/pid" ]; then kill -KILL "$(cat "$tmp/pid")" 2>/dev/null; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# expect STATUS CMD...: runs corvctl, checks the exit status; output in $tmp/out, $tmp/err.
expect() {
  local want=$1; shift
  "$corvctl" "$@" >"$tmp/out" 2>"$tmp/err"
  local got=$?
  [ "$got" = "$want" ] || fail "corvctl $* exited $got, expected $want: $(cat "$tmp/err")"
}
out_has() { grep -qF -- "$1" "$tmp/out" || fail "output lacks '$1': $(cat "$tmp/out")"; }
err_has() { grep -qF -- "$1" "$tmp/err" || fail "stderr lacks '$1': $(cat "$tmp/err")"; }
json_check() {  # json_check PYTHON-ASSERTIONS: on $tmp/out, as `r`
  python3 -m json.tool "$tmp/out" >/dev/null || fail "not valid JSON: $(cat "$tmp/out")"
  python3 -c "import json, sys; r = json.load(open(sys.argv[1], encoding='utf-8')); $1" "$tmp/out" ||
    fail "JSON check '$1': $(cat "$tmp/out")"
}

folder=$CORVANTEL_ROOT/services/tolvanecorvantel
mkdir -p "$folder"
# A process id that is certainly not alive.
true &
dead=$!
wait $dead

# stats_file PID: the daemon's keys, a second output with a name of
# every kind of byte and counters of its own, and keys no corvctl knows yet.
stats_file() {
  printf 'pid=%s\nwritten=1700000000\nstarted=1699990000\n' "$1"
  printf 'received=1500\nkernel_dropped=3\nrestored=20\nqueued_memory=12\nqueued_memory_bytes=3456\n'
  printf 'queued_disk=0\nqueued_disk_bytes=0\nqueue_dropped=1\nspool_damaged=0\nprocessed=1504\n'
  printf 'future_counter=042\nnote=hello\n'
  printf 'output.1.name=file\noutput.1.done=1504\noutput.1.failed=0\noutput.1.suspended=0\noutput.1.missed=0\n'
  printf 'output.2.name=database "Sys\\log" \xff\x01\x7f \xe6\x97\xa5\xe6\x9c\xac \xc2\x85 \xed\xa0\x80\r\n'
  printf 'output.2.done=7\noutput.2.failed=2\noutput.2.suspended=1\noutput.2.missed=40\noutput.2.rows=7\n'
}
stats_file $dead >"$folder/stats"

# ---- a stopped service's figures, as a table ----
expect 0 stats
cat >"$tmp/want" <<'EOF'
Service TolvaneCorvantel, process PID, started 2023-11-14 19:26:40
The service is not running; figures as of 2023-11-14 22:13:20.

Reception
  Received                 1500
  Dropped by the kernel       3
  Restored from the spool    20

Queue
  In memory                  12  (3456 bytes)
  On disk                     0  (0 bytes)
  Dropped by the queue        1
  Damaged in the spool        0

Processing
  Processed                1504

Other
  future_counter            042
  note                     hello

Outputs
  done  failed  suspended  missed  rows  output
  1504       0          0       0     -  file
     7       2          1      40     7  database "Sys\log" \xff\x01\x7f 日本 \u0085 \xed\xa0\x80\x0d
EOF
sed -i "s/PID/$dead/" "$tmp/want"
diff "$tmp/want" "$tmp/out" >"$tmp/diff" || fail "table differs: $(cat "$tmp/diff")"
expect 0 stats tolvanecorvantel
out_has "Service tolvanecorvantel, process $dead"

# ---- ... and as JSON: numbers as numbers, every name byte accounted for ----
expect 0 stats --json
[ "$(wc -l <"$tmp/out")" = 1 ] || fail "JSON is not one line: $(cat "$tmp/out")"
json_check '
assert r["service"] == "TolvaneCorvantel" and r["running"] is False, r
assert r["received"] == 1500 and r["queued_memory_bytes"] == 3456 and r["written"] == 1700000000, r
assert r["future_counter"] == "042" and r["note"] == "hello", r  # not a JSON number: passed on as text
o = r["outputs"]
assert o[0] == {"name": "file", "done": 1504, "failed": 0, "suspended": 0, "missed": 0}, o
assert o[1]["name"] == "database \"Sys\\log\" \ufffd\x01\x7f \u65e5\u672c \x85 \ufffd\ufffd\ufffd\r", ascii(o[1]["name"])
assert o[1]["rows"] == 7 and o[1]["missed"] == 40, o[1]
'
LC_ALL=C grep -qP '[\x00-\x1f\x7f]|\xc2[\x80-\x9f]' "$tmp/out" && fail "a control character went out unescaped"

# ---- running: the manager's word and the writer's process ----
# A name the manager does not know: the process in the file alone tells.
mkdir -p "$CORVANTEL_ROOT/services/corvstatsservice"
stats_file $$ >"$CORVANTEL_ROOT/services/corvstatsservice/stats"
expect 0 stats --json CorvStatsService
json_check 'assert r["running"] is True, r'
expect 0 stats CorvStatsService
out_has "Figures as of 2023-11-14 22:13:20."

# Registered and stopped: not running, though the process in the file lives.
key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\CorvStatsService"
expect 0 reg add "$key" Type REG_DWORD 16
expect 0 reg add "$key" Start REG_DWORD 3
expect 0 reg add "$key" ImagePath REG_EXPAND_SZ "$service_program --pid-file=$tmp/pid"
expect 0 stats --json CorvStatsService
json_check 'assert r["running"] is False, r'

# Running under the manager, the file its own.
expect 0 sc start CorvStatsService
stats_file "$(cat "$tmp/pid")" >"$CORVANTEL_ROOT/services/corvstatsservice/stats"
expect 0 stats --json CorvStatsService
json_check 'assert r["running"] is True, r'
# Still a file of an earlier run: said so.
stats_file $dead >"$CORVANTEL_ROOT/services/corvstatsservice/stats"
expect 0 stats CorvStatsService
out_has "The service runs, but these figures are from an earlier run (process $dead); figures as of 2023-11-14 22:13:20."
expect 0 sc stop CorvStatsService
rm -f "$tmp/pid"

# ---- no file ----
rm "$CORVANTEL_ROOT/services/corvstatsservice/stats"
expect 1 stats CorvStatsService
err_has "corvctl stats: there are no statistics of CorvStatsService: $CORVANTEL_ROOT/services/corvstatsservice/stats does not exist. The service has not run since it keeps statistics, or has never run."
expect 1 stats NoSuchService
err_has "corvctl stats: NoSuchService is not an installed service, and there are no statistics of it"

# ---- unreadable ----
mv "$folder/stats" "$tmp/stats.good"
mkdir "$folder/stats"
expect 1 stats
err_has "corvctl stats: cannot read $folder/stats: Is a directory."
rmdir "$folder/stats"
mv "$tmp/stats.good" "$folder/stats"
if [ "$(id -u)" = 0 ]; then
  # The state folder is the service user's; another user has no way in.
  setpriv --reuid=65534 --regid=65534 --clear-groups "$corvctl" stats >"$tmp/out" 2>"$tmp/err"
  status=$?
else
  chmod 000 "$folder/stats"
  "$corvctl" stats >"$tmp/out" 2>"$tmp/err"
  status=$?
  chmod 600 "$folder/stats"
fi
[ $status = 1 ] || fail "unreadable file: exit $status: $(cat "$tmp/err")"
err_has "corvctl stats: cannot read $folder/stats: Permission denied. The service's state folder is open only to the user the service runs as."

# ---- damaged: the line is named ----
damaged() {  # damaged MESSAGE: the file's text on standard input
  cat >"$folder/stats"
  expect 1 stats --json
  err_has "corvctl stats: $folder/stats is damaged: $1"
  [ -s "$tmp/out" ] && fail "damaged file printed: $(cat "$tmp/out")"
}
printf 'pid=1\nwritten=2\ngarbage\n' | damaged 'line 3 ("garbage") is not a key=value line.'
printf 'pid=1\nwritten=2\nreceived=12a\n' | damaged 'line 3 ("received=12a") does not hold a number.'
printf 'pid=1\nwritten=2\npid=3\n' | damaged 'line 3 ("pid=3") repeats the key pid.'
printf 'pid=1\nwritten=2\noutput.x.done=3\n' | damaged 'line 3 ("output.x.done=3") names no output'
printf 'pid=1\nwritten=2\noutput.1.done=\xff\n' | damaged 'line 3 ("output.1.done=\xff") does not hold a number.'
printf 'pid=1\nwritten=2\noutput.1.done=3\n' | damaged 'output 1 has no name line.'
printf 'pid=1\n' | damaged 'it has no written= line.'
: | damaged 'it is empty.'

# ---- usage ----
expect 2 stats --frobnicate
err_has "usage: corvctl stats [--json] [NAME]"
expect 2 stats One Two
expect 0 --help
out_has "corvctl stats [--json] [NAME]"

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "corvctl stats: all checks passed"
