# Pieces of one measured run that bench/tcp.sh and bench/database.sh share.
# Sourced; the functions set variables the caller has declared local.

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
