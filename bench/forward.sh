#!/usr/bin/env bash
# The rate of forwarded messages beside the plain file rate. One corvantd
# (through `corvctl sc run`, in a private platform root) is driven by
# bench/peers/sender.c at full speed for N messages, twice: once with a rule
# base that files every message, once with one that forwards every message to
# a null receiver (bench/peers/nullrecv.c). Prints messages/s and loss per
# case. About a minute with the defaults.
#
# usage: bench/forward.sh            knobs: N (200000), BUILD (build-release),
#                                    WORK (/tmp/corvantel-forward-bench),
#                                    SIZE (message bytes, 100)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
N=${N:-200000}
SIZE=${SIZE:-100}
BUILD=${BUILD:-$top/build-release}
WORK=${WORK:-/tmp/corvantel-forward-bench}
corvantd=$BUILD/daemon/corvantd
corvctl=$BUILD/platform/tools/corvctl/corvctl
if [[ ! -x $corvantd || ! -x $corvctl ]]; then
  scripts/build.sh "$BUILD" -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF >/dev/null
fi

rm -rf "$WORK"
mkdir -p "$WORK/bin"
cc -O2 -Wall -o "$WORK/bin/sender" bench/peers/sender.c -lm
cc -O2 -Wall -o "$WORK/bin/nullrecv" bench/peers/nullrecv.c

free_port() {
  python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

pids=()
cleanup() { for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT

# Waits until the count printed by "$@" reaches N or stops growing for 2 s;
# prints the last count and the seconds from `start` until it last grew.
drain() {
  local start=$1; shift
  local last=-1 count last_change=$start now
  while :; do
    count=$("$@" 2>/dev/null || echo 0)
    now=$(date +%s.%N)
    if [[ $count != "$last" ]]; then last=$count; last_change=$now; fi
    if (( count >= N )); then break; fi
    if (( $(echo "$now - $last_change > 2" | bc) )); then break; fi
    sleep 0.05
  done
  echo "$last $(echo "$last_change - $start" | bc)"
}

# run_case NAME ACTION_TYPE ACTION_STRING COUNT_COMMAND...
run_case() {
  local name=$1 type=$2 string=$3; shift 3
  local dir=$WORK/$name port
  port=$(free_port)
  mkdir -p "$dir/logs"
  (
    export CORVANTEL_ROOT=$dir/root CORVANTEL_USER_ROOT=$dir/root/user CORVANTEL_MUTEX_DIR=$dir/locks
    mkdir -p "$CORVANTEL_ROOT"
    "$corvantd" -i >/dev/null
    params='HKLM\SYSTEM\CurrentControlSet\Services\TolvaneCorvantel\Parameters'
    "$corvctl" reg add "$params" nSyslogPort REG_DWORD "$port"
    "$corvctl" reg add "$params" szBaseLogFilePath REG_SZ "$dir/logs"
    "$corvctl" reg add "$params" nUniqueFileName REG_DWORD 0
    "$corvctl" reg import - <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules]
"nRuleCount"=dword:00000001
"nRuleVersion"=dword:00000001
"R1ActionCount"=dword:00000001
"R1A1Type"=dword:$(printf %08x "$type")
$([[ -n $string ]] && echo "\"R1A1String\"=\"$string\"")
REG
    exec "$corvctl" sc run TolvaneCorvantel
  ) >"$dir/daemon.log" 2>&1 &
  pids+=($!)
  # Listening once its port is taken.
  for _ in $(seq 100); do
    python3 -c "import socket,sys; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
try: s.bind(('127.0.0.1', $port))
except OSError: sys.exit(0)
sys.exit(1)" && break
    sleep 0.1
  done
  local start result
  start=$(date +%s.%N)
  "$WORK/bin/sender" -h 127.0.0.1 -p "$port" -n "$N" -r 0 -s "$SIZE" >"$dir/sender.log" 2>&1
  result=$(drain "$start" "$@")
  local got=${result% *} secs=${result#* }
  printf '%-8s %10d sent %10d arrived %8.1f%% lost %12.0f msg/s\n' "$name" "$N" "$got" \
    "$(echo "100 * ($N - $got) / $N" | bc -l)" "$(echo "$got / $secs" | bc -l)"
  kill "${pids[-1]}" 2>/dev/null || true
  wait "${pids[-1]}" 2>/dev/null || true
}

null_port=$(free_port)
"$WORK/bin/nullrecv" -o "$WORK/null.count" -a 127.0.0.1 -p "$null_port" >"$WORK/nullrecv.log" 2>&1 &
pids+=($!)
sleep 0.2

echo "corvantd: $N messages of $SIZE bytes at full speed from one sender"
run_case file 1003 "" sh -c "wc -l < '$WORK/file/logs/Corvantel.log'"
run_case forward 1001 "127.0.0.1:$null_port" cat "$WORK/null.count"
