# Pieces of one measured run that bench/tcp.sh and bench/database.sh share.
# Sourced; the functions set variables the caller has declared local.

# A loopback port that was free a moment ago: free_port tcp|udp.
free_port() {
  python3 -c "import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM if sys.argv[1] == 'tcp' else socket.SOCK_DGRAM)
s.bind(('127.0.0.1', 0)); print(s.getsockname()[1])" "$1"
}

# utime+stime of the whole process PID (all threads), in clock ticks.
cpu_ticks() {
  if [ -r "/proc/$1/stat" ]; then sed 's/.*) //' "/proc/$1/stat" | awk '{print $12+$13}'; else echo 0; fi
}

# "comm=seconds;..." per thread of PID, busiest first.
thread_cpu() {
  local t tck; tck=$(getconf CLK_TCK)
  for t in /proc/"$1"/task/*; do
    [ -r "$t/stat" ] || continue
    printf '%s\t%s\n' "$(tr -d ',;=\t' <"$t/comm")" "$(sed 's/.*) //' "$t/stat" | awk '{print $12+$13}')"
  done | sort -t$'\t' -k2,2nr | awk -F'\t' -v tck="$tck" '$2>0{printf "%s%s=%.2f", (n++?";":""), $1, $2/tck}'
}

# Warns when the machine is busy: the figures would be disturbed.
warn_if_loaded() {
  local load1; load1=$(cut -d' ' -f1 /proc/loadavg)
  if awk -v l="$load1" 'BEGIN{exit !(l > 1.5)}'; then
    echo "warning: load average $load1; the figures will be disturbed by other work" >&2
  fi
}

# The receiver under test, started by start_receiver and ended by stop_receiver
# (TERM, then KILL after 10 s).
RPID=""
stop_receiver() {
  [ -n "$RPID" ] || return 0
  kill -TERM "$RPID" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$RPID" 2>/dev/null || break; sleep 0.1; done
  kill -0 "$RPID" 2>/dev/null && kill -KILL "$RPID" 2>/dev/null || true
  wait "$RPID" 2>/dev/null || true
  RPID=""
}

# start_receiver NAME LOG READY WHAT COUNT PROBE TRIES: starts CMD (logging to
# LOG) as RPID, waits until the command READY holds (15 s; WHAT names it in
# the failure), then sends probes (the command PROBE with the try's number,
# 0.2 s apart, TRIES at most) until the command COUNT finds one stored: the
# whole way is live before the clock starts. Fails (receiver stopped) when not.
start_receiver() {
  local name=$1 log=$2 ready=$3 what=$4 count_of=$5 probe=$6 tries=$7 i=0
  bash -c "exec $CMD" </dev/null >"$log" 2>&1 &
  RPID=$!
  until $ready; do
    if ! kill -0 "$RPID" 2>/dev/null || [ "$i" -ge 300 ]; then
      echo "[$name] $what (see $log)" >&2
      stop_receiver; return 1
    fi
    i=$((i + 1)); sleep 0.05
  done
  i=0
  while [ "$($count_of)" -lt 1 ]; do
    if [ "$i" -ge "$tries" ] || ! kill -0 "$RPID" 2>/dev/null; then
      echo "[$name] probe message never stored (see $log)" >&2
      stop_receiver; return 1
    fi
    $probe "$i"
    i=$((i + 1)); sleep 0.2
  done
}

# Reads the sender's "key=value ..." summary ($1) into sent, t_start, t_end,
# s_el, s_rate and s_cpu (user + system seconds).
read_sender_summary() {
  local kv
  sent=0 t_start=0 t_end=0 s_el=0 s_rate=0 s_cpu=0
  for kv in $1; do
    case $kv in
    sent=*) sent=${kv#*=} ;; start=*) t_start=${kv#*=} ;; end=*) t_end=${kv#*=} ;;
    elapsed=*) s_el=${kv#*=} ;; rate=*) s_rate=${kv#*=} ;;
    user_cpu=*) s_cpu=${kv#*=} ;; sys_cpu=*) s_cpu=$(awk -v a="$s_cpu" -v b="${kv#*=}" 'BEGIN{print a+b}') ;;
    esac
  done
}

# Waits until the output holds N more than `base`, or its signature ($1, a
# command) holds still for SETTLE s, or MAX_WAIT s have passed (status
# max_wait), or the receiver RPID has died (status receiver_died). $2 is the
# command that counts the output, $3 the base, $4 the pause between looks.
settle_output() {
  local sig_of=$1 count_of=$2 base=$3 pause=$4 t0 last_sig last_change sig tnow
  t0=$(date +%s.%N); last_sig=$($sig_of); last_change=$t0
  while :; do
    sleep "$pause"
    tnow=$(date +%s.%N); sig=$($sig_of)
    if awk -v a="$tnow" -v b="$t0" -v s="$MAX_WAIT" 'BEGIN{exit !(a-b>=s)}'; then status=max_wait; break; fi
    kill -0 "$RPID" 2>/dev/null || { status=receiver_died; break; }
    if [ "$sig" != "$last_sig" ]; then last_sig=$sig; last_change=$tnow; continue; fi
    [ $(($($count_of) - base)) -ge "$N" ] && break
    awk -v a="$tnow" -v b="$last_change" -v s="$SETTLE" 'BEGIN{exit !(a-b>=s)}' && break
  done
}
