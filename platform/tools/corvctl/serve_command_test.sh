#!/bin/bash
# Black-box test of `corvctl serve` against a private platform root: whole
# sessions with exact answers, a second session watching transactions, the
# scope it must keep to, and the service verbs with the manager's test service.
# usage: serve_command_test.sh PATH/TO/corvctl PATH/TO/corvantel_test_service
set -u
corvctl=$1
service_program=$2
tmp=$(mktemp -d)
export CORVANTEL_ROOT=$tmp/machine CORVANTEL_USER_ROOT=$tmp/user
export CORVANTEL_SCM_START_TIMEOUT_MS=10000 CORVANTEL_SCM_STOP_TIMEOUT_MS=10000
cleanup() {
  if [ -s "$tmp/pid" ]; then kill -KILL "$(cat "$tmp/pid")" 2>/dev/null; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

max_line=1048576

# hx TEXT: TEXT as the protocol's hex ("-" when empty).
hx() { local h; h=$(printf '%s' "$1" | od -An -v -tx1 | tr -d ' \n'); printf '%s' "${h:--}"; }

# check_session: stdin is a table of "REQUEST | ANSWER" lines; one `corvctl
# serve` gets every request, and each answer must be exactly as written.
check_session() {
  local requests=() expected=() line i
  while IFS= read -r line; do
    requests+=("${line%% | *}")
    expected+=("${line#* | }")
  done
  printf '%s\n' "${requests[@]}" | "$corvctl" serve >"$tmp/answers" 2>"$tmp/err"
  local status=$?
  [ $status = 0 ] || fail "corvctl serve exited $status: $(cat "$tmp/err")"
  mapfile -t got <"$tmp/answers"
  [ ${#got[@]} = ${#requests[@]} ] || fail "${#requests[@]} requests, ${#got[@]} answers"
  for i in "${!requests[@]}"; do
    [ "${got[i]-}" = "${expected[i]}" ] ||
      fail "'${requests[i]:0:80}' answered '${got[i]:0:80}', expected '${expected[i]:0:80}'"
  done
}

# A session kept open, for what another process must see meanwhile.
open_session() { coproc SERVE { "$corvctl" serve 2>"$tmp/coproc.err"; }; }
# ask REQUEST ANSWER
ask() {
  local got=
  printf '%s\n' "$1" >&"${SERVE[1]}"
  read -r -t 30 -u "${SERVE[0]}" got || got="(nothing)"
  [ "$got" = "$2" ] || fail "'$1' answered '$got', expected '$2'"
}
# wait_state STATE: polls SCQUERY until the service is in STATE.
wait_state() {
  local state=
  for _ in $(seq 50); do
    printf 'SCQUERY 1\n' >&"${SERVE[1]}"
    read -r -t 30 -u "${SERVE[0]}" state
    [ "$state" = "0 $1" ] && return
    sleep 0.1
  done
  fail "the service is not in state $1: $state"
}
close_session() {
  local pid=$SERVE_PID
  eval "exec ${SERVE[1]}>&-"
  wait "$pid" || fail "corvctl serve exited $? at end of input: $(cat "$tmp/coproc.err")"
}

get_is() {
  local out
  out=$("$corvctl" reg get "$1" "$2" 2>&1)
  [ "$out" = "$3" ] || fail "reg get $1 $2 printed '$out', expected '$3'"
}
missing() { "$corvctl" reg query "$1" >/dev/null 2>&1 && fail "$1 exists"; }

svc='SYSTEM\CurrentControlSet\Services\TolvaneCorvantel'
params="$svc\\Parameters"
key_read=131097      # KEY_READ
key_all=983103       # KEY_ALL_ACCESS

# ---- nothing installed: HELLO says so, the service is not there ----
check_session <<EOF
HELLO 1 | 0 1 500 0
HELLO 2 | 0 1 500 0
SCOPEN $(hx TolvaneCorvantel) | 1060
CONNECT HKLM | 0 1
CREATE 1 $(hx 'SOFTWARE\Tolvane\Corvantel\Client') | 5
CREATE 1 $(hx "$params") | 5
EOF
# Creating either subtree would have created a key outside it.
missing 'HKLM\SOFTWARE\Tolvane'
missing 'HKLM\SYSTEM\CurrentControlSet\Services'

"$corvctl" reg add 'HKLM\SYSTEM\CurrentControlSet\Services\Other' || fail "reg add"
"$corvctl" reg add 'HKLM\SOFTWARE\Tolvane' || fail "reg add"

# ---- a session: keys and values, exact answers ----
watch=570061007400630068000000  # "Watch" as a REG_SZ keeps it: UTF-16LE with its zero
check_session <<EOF
CONNECT HKLM | 0 1
CREATE 1 $(hx "$params") | 0 2 1
CREATE 2 $(hx Rules) | 0 3 1
CREATE 1 $(hx 'system\currentcontrolset\services\tolvanecorvantel\PARAMETERS\rules') | 0 4 2
SET 2 $(hx nSyslogPort) 4 02020000 | 0
SET 3 $(hx nRuleCount) 4 02000000 | 0
SET 3 $(hx R1RuleName) 1 $watch | 0
SET 3 - 3 - | 0
QUERY 3 $(hx r1rulename) 12 | 0 1 $watch
QUERY 3 $(hx R1RuleName) 11 | 234 1 12
QUERYSIZE 3 $(hx R1RuleName) | 0 1 12
QUERY 3 - 0 | 0 3 -
QUERY 3 $(hx Missing) 100 | 2
ENUMVALUE 3 0 | 0 - 3 -
ENUMVALUE 3 1 | 0 $(hx nRuleCount) 4 02000000
ENUMVALUE 3 2 | 0 $(hx R1RuleName) 1 $watch
ENUMVALUE 3 3 | 259
DELVALUE 3 $(hx R1RuleName) | 0
DELVALUE 3 $(hx R1RuleName) | 2
DELKEY 2 $(hx Rules) | 0
OPEN 2 $(hx Rules) $key_read | 2
QUERYSIZE 4 $(hx nRuleCount) | 1018
EOF
get_is "HKLM\\$params" nSyslogPort 514
missing "HKLM\\$params\\Rules"

# ---- transactions: another session sees the changes at COMMIT, never after ROLLBACK ----
open_session
ask "CONNECT HKLM" "0 1"
ask "OPEN 1 $(hx "$params") $key_all" "0 2"
ask "BEGIN 1" "0"
ask "SET 2 $(hx nSyslogPort) 4 8a150000" "0"
ask "CREATE 1 $(hx "$params\\Rules")" "0 3 1"
get_is "HKLM\\$params" nSyslogPort 514
missing "HKLM\\$params\\Rules"
ask "COMMIT 1" "0"
get_is "HKLM\\$params" nSyslogPort 5514
"$corvctl" reg query "HKLM\\$params\\Rules" >/dev/null || fail "the committed Rules key is missing"
ask "BEGIN 2" "0"
ask "DELVALUE 2 $(hx nSyslogPort)" "0"
ask "DELKEY 1 $(hx "$params\\Rules")" "0"
ask "ROLLBACK 2" "0"
get_is "HKLM\\$params" nSyslogPort 5514
"$corvctl" reg query "HKLM\\$params\\Rules" >/dev/null || fail "a rolled-back delete took effect"
# A session that ends in a transaction has it rolled back: the near side is gone.
ask "BEGIN 1" "0"
ask "SET 2 $(hx nSyslogPort) 4 01000000" "0"
close_session
get_is "HKLM\\$params" nSyslogPort 5514

# ---- scope: nothing outside the two subtrees, nothing written through keys on the way ----
"$corvctl" reg add 'HKLM\SOFTWARE' x REG_DWORD 7 || fail "reg add"
"$corvctl" reg add 'HKLM\SOFTWARE\Other' || fail "reg add"
"$corvctl" reg add 'HKLM\SOFTWARE\Tolvane\Corvantel' || fail "reg add"
"$corvctl" reg add 'HKCU\SOFTWARE\Tolvane\Corvantel' || fail "reg add"
check_session <<EOF
CONNECT HKCU | 5
CONNECT HKLM | 0 1
OPEN 1 $(hx 'SOFTWARE\Other') $key_read | 5
CREATE 1 $(hx 'SOFTWARE\Other\Sub') | 5
DELKEY 1 $(hx 'SOFTWARE\Other') | 5
OPEN 1 $(hx 'SYSTEM\CurrentControlSet\Services\TolvaneCorvantelX') $key_read | 5
OPEN 1 $(hx 'SOFTWARE\Tolvane\Corvantel\..\..\Other') $key_read | 5
OPEN 1 $(hx 'SOFTWARE\\Tolvane\Corvantel') $key_read | 5
OPEN 1 $(hx 'SOFTWARE') $key_all | 0 2
QUERY 2 $(hx x) 4 | 5
ENUMVALUE 2 0 | 5
SET 2 $(hx x) 4 08000000 | 5
DELVALUE 2 $(hx x) | 5
CREATE 2 $(hx Other) | 5
DELKEY 2 $(hx Other) | 5
DELKEY 2 - | 5
OPEN 2 $(hx 'tolvane\CORVANTEL') $key_all | 0 3
OPEN 3 $(hx ..) $key_read | 5
CREATE 3 $(hx 'Client\..\..\..\Other') | 5
CREATE 3 $(hx 'Client\') | 5
CREATE 3 $(hx Client) | 0 4 1
SET 4 $(hx szHelpSite) 1 78000000 | 0
SCOPEN $(hx TolvaneCorvantelX) | 5
EOF
get_is 'HKLM\SOFTWARE' x 7
missing 'HKLM\SOFTWARE\Other\Sub'
missing 'HKLM\SOFTWARE\Other\Other'
get_is 'HKLM\SOFTWARE\Tolvane\Corvantel\Client' szHelpSite x
missing 'HKCU\SOFTWARE\Tolvane\Corvantel\Client'

# ---- malformed requests: 87 without effect, and the session goes on ----
cr=$'\r'
check_session <<EOF
CONNECT HKLM | 0 1
OPEN 1 $(hx "$params") $key_all | 0 2
SET 2 $(hx v) 4 0100000 | 87
SET 2 $(hx v) 4 01zz0000 | 87
SET 2 $(hx v) -4 01000000 | 87
SET 2 $(hx v) 4294967296 01000000 | 87
SET  2 $(hx v) 4 01000000 | 87
SET 2 $(hx v) 4 01000000  | 87
SET 2 $(hx v) 4 01000000$cr | 87
SET 2 $(hx v) 4 | 87
SET 2 760077 4 01000000 | 87
SET x $(hx v) 4 01000000 | 87
set 2 $(hx v) 4 01000000 | 87
 | 87
SET 99 $(hx v) 4 01000000 | 6
SCQUERY 2 | 6
QUERYSIZE 2 $(hx v) | 2
HELLO 1 | 0 1 500 0
EOF

# Lines over the limit are refused whole; a line at the limit is taken. The
# data is zero bytes, so the hex is a run of zeros.
zeros() { printf '%0*d' "$1" 0; }
{
  echo "CONNECT HKLM"
  echo "OPEN 1 $(hx "$params") $key_all"
  echo "SET 2 $(hx v) 003 $(zeros $((max_line - 12)))"          # one byte over the limit
  echo "QUERYSIZE 2 $(hx v)"
  echo "SET 2 $(hx v) 03 $(zeros $((max_line - 12)))"           # exactly at the limit
  echo "QUERYSIZE 2 $(hx v)"
  echo "QUERY 2 $(hx v) 1000000"
  echo "SET 2 $(hx v) 4 $(zeros $((3 * max_line)))"           # far over: read through, not kept
  echo "DELVALUE 2 $(hx v)"
} | "$corvctl" serve >"$tmp/answers"
mapfile -t got <"$tmp/answers"
expected=("0 1" "0 2" 87 2 0 "0 3 $(((max_line - 12) / 2))" "0 3 $(zeros $((max_line - 12)))" 87 0)
[ ${#got[@]} = ${#expected[@]} ] || fail "long lines: ${#got[@]} answers, expected ${#expected[@]}"
for i in "${!expected[@]}"; do
  [ "${got[i]-}" = "${expected[i]}" ] ||
    fail "long lines: answer $i is '${got[i]:0:40}', expected '${expected[i]:0:40}'"
done

# A value too large to travel back is an error, not an over-long line.
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\%s]\n"big"="%s"\n' "$params" \
  "$(printf '%0600000d' 0)" >"$tmp/big.reg"
"$corvctl" reg import "$tmp/big.reg" || fail "reg import big.reg"
check_session <<EOF
CONNECT HKLM | 0 1
OPEN 1 $(hx "$params") $key_all | 0 2
QUERYSIZE 2 $(hx big) | 0 1 1200002
QUERY 2 $(hx big) 2000000 | 1450
ENUMVALUE 2 0 | 1450
DELVALUE 2 $(hx big) | 0
EOF

# A last line without its LF may be cut short: it is not carried out.
printf 'CONNECT HKLM\nCREATE 1 %s' "$(hx "$params\\Partial")" | "$corvctl" serve >"$tmp/answers"
[ "$(cat "$tmp/answers")" = "0 1" ] || fail "a cut-short line was answered: $(cat "$tmp/answers")"
missing "HKLM\\$params\\Partial"

# ---- the handle table is bounded ----
{
  for i in $(seq 256); do echo "CONNECT HKLM | 0 $i"; done
  echo "CONNECT HKLM | 1450"
  echo "OPEN 1 $(hx SOFTWARE) $key_read | 1450"
  echo "SCOPEN $(hx TolvaneCorvantel) | 1450"
  echo "CLOSE 7 | 0"
  echo "OPEN 1 $(hx SOFTWARE) $key_read | 0 7"
} | check_session

# ---- the service: query, start, stop ----
"$corvctl" reg add "HKLM\\$svc" Type REG_DWORD 16 &&
  "$corvctl" reg add "HKLM\\$svc" Start REG_DWORD 3 &&
  "$corvctl" reg add "HKLM\\$svc" ErrorControl REG_DWORD 1 &&
  "$corvctl" reg add "HKLM\\$svc" ImagePath REG_EXPAND_SZ \
    "$service_program --pid-file=$tmp/pid --stop-delay-ms=300" || fail "cannot record the service"
open_session
ask "HELLO 1" "0 1 500 1"
ask "SCOPEN $(hx tolvanecorvantel)" "0 1"
ask "SCQUERY 1" "0 1"
ask "SCSTART 1" "0"
wait_state 4
ask "SCSTART 1" "1056"
ask "CLOSE 1" "6"
ask "SCSTOP 1" "0 3"
wait_state 1
ask "SCSTOP 1" "1062"
ask "SCCLOSE 1" "0"
ask "SCCLOSE 1" "6"
ask "SCQUERY 1" "6"
close_session

if [ $failures -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "corvctl serve: all checks passed"
