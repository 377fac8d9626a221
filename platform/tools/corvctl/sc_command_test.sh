#!/bin/bash
# Black-box test of `corvctl sc` against a private platform root, with the
# manager's test service.
# usage: sc_command_test.sh PATH/TO/corvctl PATH/TO/corvantel_test_service
set -u
corvctl=$1
service_program=$2
tmp=$(mktemp -d)
export CORVANTEL_ROOT=$tmp/machine CORVANTEL_USER_ROOT=$tmp/user
export CORVANTEL_SCM_START_TIMEOUT_MS=10000 CORVANTEL_SCM_STOP_TIMEOUT_MS=10000
run_pid=
cleanup() {
  # Whatever failed, no service process outlives the test.
  if [ -s "$tmp/pid" ]; then kill -KILL "$(cat "$tmp/pid")" 2>/dev/null; fi
  if [ -n "$run_pid" ]; then kill -KILL "$run_pid" 2>/dev/null; fi
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
err_is() { [ "$(cat "$tmp/err")" = "$1" ] || fail "stderr '$(cat "$tmp/err")', expected '$1'"; }

name=CorvShellService
key="HKLM\\SYSTEM\\CurrentControlSet\\Services\\$name"

# ---- usage and a missing service ----
expect 2 sc
expect 2 sc frobnicate $name
expect 2 sc query
expect 1 sc query $name
err_is "corvctl: The specified service does not exist as an installed service. (1060)"

# ---- a registered service: query, start, stop ----
expect 0 reg add "$key" Type REG_DWORD 16
expect 0 reg add "$key" Start REG_DWORD 3
expect 0 reg add "$key" ErrorControl REG_DWORD 1
expect 0 reg add "$key" ImagePath REG_EXPAND_SZ "$service_program --pid-file=$tmp/pid --stop-delay-ms=300"
expect 0 sc query $name
out_has "SERVICE_NAME: $name"
out_has "TYPE               : 10  WIN32_OWN_PROCESS"
out_has "STATE              : 1  STOPPED"

expect 0 sc start $name
out_has "STATE              : 4  RUNNING"
out_has "(STOPPABLE, NOT_PAUSABLE, IGNORES_SHUTDOWN)"
expect 1 sc start $name
err_is "corvctl: An instance of the service is already running. (1056)"
expect 0 sc stop $name
out_has "Stopping $name..."
out_has "STATE              : 1  STOPPED"
expect 1 sc stop $name
err_is "corvctl: The service has not been started. (1062)"

# ---- a service that dies while starting ----
expect 0 reg add "$key" ImagePath REG_EXPAND_SZ "$service_program --exit-early"
expect 1 sc start $name
err_is "corvctl: The process terminated unexpectedly. (1067)"

# ---- start-auto starts the automatic services only ----
expect 0 reg add "$key" ImagePath REG_EXPAND_SZ "$service_program --pid-file=$tmp/pid"
expect 0 sc start-auto
[ -s "$tmp/out" ] && fail "start-auto started a demand-start service: $(cat "$tmp/out")"
expect 0 reg add "$key" Start REG_DWORD 2
expect 0 sc start-auto
out_has "$name started."
expect 0 sc start-auto
out_has "$name is already running."
expect 0 sc stop $name

# ---- sc run: the service replaces corvctl; SIGTERM stops it cleanly ----
rm -f "$tmp/pid"
"$corvctl" sc run $name >"$tmp/run.out" 2>&1 &
run_pid=$!
for _ in $(seq 100); do
  "$corvctl" sc query $name 2>/dev/null | grep -q RUNNING && break
  sleep 0.1
done
expect 0 sc query $name
out_has "STATE              : 4  RUNNING"
[ "$(cat "$tmp/pid" 2>/dev/null)" = "$run_pid" ] || fail "the service is not corvctl's own process"
expect 1 sc run $name
err_is "corvctl: An instance of the service is already running. (1056)"
kill -TERM $run_pid
wait $run_pid
status=$?
run_pid=
[ $status = 0 ] || fail "sc run exited $status after SIGTERM: $(cat "$tmp/run.out")"
grep -q "dispatcher returned" "$tmp/run.out" || fail "sc run did not end through its dispatcher: $(cat "$tmp/run.out")"
expect 0 sc query $name
out_has "STATE              : 1  STOPPED"
out_has "WIN32_EXIT_CODE    : 0  (0x0)"

# ---- delete ----
expect 0 sc delete $name
out_has "$name deleted."
expect 1 sc query $name
expect 1 reg query "$key"

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "corvctl sc: all checks passed"
