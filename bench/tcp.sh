#!/usr/bin/env bash
# Syslog over TCP into a file: corvantd beside rsyslog (imtcp -> omfile), in
# one run on this machine. For each receiver, REPS times, N messages from 1
# connection and N from 100 connections (bench/tcp_sender.c: the 100-byte
# messages of bench/peers/sender.c, octet-counting framing "LEN SP MSG"), each
# into a fresh receiver process that files every message as one line:
#   msgs/s      received lines / (time of the file's last write - first send)
#   CPU us/msg  utime+stime of the receiver's process over the run / lines
#   peak RSS    VmHWM of the receiver's process at the end of the run
#   other CPU   what the machine's processors spent over the run beyond the
#               receiver and the sender: the kernel's loopback work and this
#               script, so a run disturbed by other jobs stands out
# (With 100 connections the socket buffers take most of the messages at once:
# the sender is done long before the receiver, whose own pace is measured.)
# Prints the medians and leaves the raw data in bench/results/tcp-<UTC stamp>/.
# Run as root (scripts/setup.sh) on a quiet machine; about 3 minutes with the
# defaults.
#
# Knobs: N (3000000 messages per run; at most 9000000), REPS (3), CONNECTIONS ("1 100"),
# RECEIVERS ("rsyslog corvantd"), FRAMING (octet, or lf for LF-terminated
# messages), BUILD (Release tree, default build-release), JOBS (2), WORK
# (/tmp/corvantel-tcp-bench), SETTLE (2: seconds without growth that end a
# run), MAX_WAIT (120: seconds after the sender ends at most).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
. "$top/bench/lib/run.sh"
N=${N:-3000000}
REPS=${REPS:-3}
CONNECTIONS=${CONNECTIONS:-"1 100"}
RECEIVERS=${RECEIVERS:-"rsyslog corvantd"}
FRAMING=${FRAMING:-octet}
BUILD=$(realpath -m "${BUILD:-build-release}")
WORK=${WORK:-/tmp/corvantel-tcp-bench}
SETTLE=${SETTLE:-2}
MAX_WAIT=${MAX_WAIT:-120}
RSYSLOGD=/usr/sbin/rsyslogd
RSYSLOG_MODDIR=/usr/lib/x86_64-linux-gnu/rsyslog

if [ "$(id -u)" -eq 0 ]; then scripts/setup.sh >/dev/null; fi
mkdir -p "$WORK/bin"
case " $RECEIVERS " in
*" corvantd "*)
  if ! { cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF &&
         cmake --build "$BUILD" --target corvantd corvctl -j "${JOBS:-2}"; } >"$WORK/build.log" 2>&1; then
    tail -30 "$WORK/build.log" >&2
    exit 1
  fi ;;
esac
cc -O2 -Wall -o "$WORK/bin/tcp_sender" bench/tcp_sender.c
sender=$WORK/bin/tcp_sender

results=$top/bench/results/tcp-$(date -u +%Y%m%d-%H%M%S)
mkdir -p "$results/logs"
{
  echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "commit: $(git rev-parse --short HEAD)"
  echo "cpus: $(nproc) ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
  echo "kernel: $(uname -r)"
  echo "rsyslog: $(dpkg-query -W -f='${Version}' rsyslog 2>/dev/null || echo unknown)"
  echo "compiler: $(cc --version | head -1)"
  echo "fs of $WORK: $(df -T "$WORK" | awk 'NR==2{print $2" on "$1}')"
  echo "N=$N REPS=$REPS CONNECTIONS='$CONNECTIONS' FRAMING=$FRAMING RECEIVERS='$RECEIVERS' SETTLE=$SETTLE"
  echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
} >"$results/versions.txt"
warn_if_loaded

# Some socket listens on TCP PORT (IPv4 or dual stack): state 0A in /proc/net/tcp*.
listening() {
  local hex; hex=$(printf '%04X' "$1")
  awk -v p=":$hex" '$4 == "0A" && substr($2, length($2) - 4) == p {found = 1} END {exit !found}' \
    /proc/net/tcp /proc/net/tcp6 2>/dev/null
}
busy_ticks() {  # CPU time the whole machine spent on anything but idling, in clock ticks
  awk '$1 == "cpu" {print $2 + $3 + $4 + $7 + $8 + $9; exit}' /proc/stat
}

# The receiver's output: OUT_GLOB may match more than one file (corvantd's
# daily file changes name at midnight).
out_files() { compgen -G "$OUT_GLOB" || true; }
count() { local f; f=$(out_files); if [ -n "$f" ]; then cat $f | wc -l; else echo 0; fi; }
last_write() { local f; f=$(out_files); if [ -n "$f" ]; then stat -c %.9Y $f | sort -n | tail -1; else echo 0; fi; }
fsig() { local f; f=$(out_files); if [ -n "$f" ]; then stat -c '%s %.9Y' $f | tr '\n' ' '; else echo none; fi; }

# receiver NAME TCP_PORT: sets CMD (started with exec, so its process is the
# receiver's) and OUT_GLOB, and clears the receiver's folder.
receiver() {
  local dir=$WORK/run/$1
  rm -rf "$dir"
  mkdir -p "$dir"
  case $1 in
  rsyslog)
    mkdir -p "$dir/work"
    # Everything not set here is rsyslog's built-in default (imtcp: both
    # framings, 200 sessions, its own worker threads; main queue in memory;
    # omfile as in bench/peers/conf/rsyslog.conf.in), and the line is the one
    # the UDP benchmark writes.
    cat >"$dir/rsyslog.conf" <<CONF
global(workDirectory="$dir/work")
module(load="imtcp")
template(name="benchLine" type="string"
         string="%timereported% %hostname% %syslogfacility-text%.%syslogseverity-text% %syslogtag%%msg%\\n")
ruleset(name="bench") {
    action(type="omfile" file="$dir/out.log" template="benchLine")
}
input(type="imtcp" address="127.0.0.1" port="$2" ruleset="bench")
CONF
    OUT_GLOB=$dir/out.log
    CMD="$RSYSLOGD -n -f $dir/rsyslog.conf -i $dir/rsyslog.pid -M $RSYSLOG_MODDIR" ;;
  corvantd)
    # The rule base of bench/corvantd-receiver.sh (every message filed into
    # one daily file); its UDP port is a free one that nobody sends to.
    OUT_GLOB="$dir/corvantd-*.log"
    CMD="env TCP_PORT=$2 $top/bench/corvantd-receiver.sh $BUILD $(free_port udp) $dir/corvantd-$(date +%Y-%m-%d).log 4194304" ;;
  *) echo "unknown receiver $1" >&2; return 1 ;;
  esac
}

trap stop_receiver EXIT
trap 'stop_receiver; exit 130' INT TERM

csv=$results/runs.csv
echo "receiver,connections,framing,rep,n,sent,send_s,send_rate,sender_cpu_s,received,lost,distinct,recv_rate,drain_s,recv_cpu_s,cpu_us_per_msg,rss_kb,status,when,other_cpu_s,threads_cpu_s" >"$csv"

# one_run NAME CONNECTIONS REP: appends one row to runs.csv.
one_run() {
  local name=$1 conns=$2 rep=$3 port status=ok log
  port=$(free_port tcp)
  log=$results/logs/$name.c$conns.rep$rep.log
  receiver "$name" "$port"
  # 1) the port listens, and a probe message (sequence 9000000 and up)
  # reaches the file (15 s)
  probe() { "$sender" -p "$port" -F "$FRAMING" -n 1 -S $((9000000 + $1)) >/dev/null || true; }
  start_receiver "$name" "$log" "listening $port" "did not listen on 127.0.0.1:$port/tcp" count probe 75 ||
    return 1
  sleep 0.3
  local base cpu0 busy0 out
  base=$(count)
  cpu0=$(cpu_ticks "$RPID")
  busy0=$(busy_ticks)
  # 2) send
  out=$(timeout $((MAX_WAIT + 60)) "$sender" -p "$port" -c "$conns" -n "$N" -F "$FRAMING" \
        2>>"$log") || status=sender_failed
  local sent t_start t_end s_el s_rate s_cpu
  read_sender_summary "$out"
  # 3) settle: all N lines are there, or no growth for SETTLE s (MAX_WAIT at most)
  settle_output fsig count "$base" 0.1
  # 4) collect, stop, check for duplicates, remove the output
  local final mtime rss cpu1 busy1 thr distinct
  final=$(count)
  mtime=$(last_write)
  rss=$(awk '/^VmHWM:/{print $2}' "/proc/$RPID/status" 2>/dev/null || echo 0)
  cpu1=$(cpu_ticks "$RPID")
  busy1=$(busy_ticks)
  thr=$(thread_cpu "$RPID")
  stop_receiver
  distinct=$(cat $(out_files) </dev/null | grep -ao 'message [0-9]\{7\}' | awk '$2 < 9000000' | LC_ALL=C sort -u | wc -l)
  rm -f $(out_files)
  local row
  row=$(awk -v name="$name" -v conns="$conns" -v fr="$FRAMING" -v rep="$rep" -v n="$N" -v sent="$sent" \
    -v sel="$s_el" -v srate="$s_rate" -v scpu="$s_cpu" -v final="$final" -v base="$base" \
    -v distinct="$distinct" -v ts="$t_start" -v te="$t_end" -v mt="$mtime" -v c0="$cpu0" -v c1="$cpu1" \
    -v b0="$busy0" -v b1="$busy1" \
    -v tck="$(getconf CLK_TCK)" -v rss="$rss" -v st="$status" -v when="$(date -u +%Y-%m-%dT%H:%M:%SZ)" 'BEGIN{
      recv = final - base; lost = n - recv
      span = mt - ts; rr = (span > 0 && recv > 0) ? recv / span : 0
      drain = (mt > te) ? mt - te : 0
      cpu = (c1 - c0) / tck; us = (recv > 0) ? cpu / recv * 1e6 : 0
      other = (b1 - b0) / tck - cpu - scpu
      printf "%s,%d,%s,%s,%d,%d,%.3f,%.0f,%.3f,%d,%d,%d,%.0f,%.3f,%.2f,%.3f,%d,%s,%s,%.2f\n",
        name, conns, fr, rep, n, sent, sel, srate, scpu, recv, lost, distinct, rr, drain, cpu,
        us, rss, st, when, other }')
  echo "$row,$thr" >>"$csv"
  echo "$row" >&2
}

for rep in $(seq "$REPS"); do
  for name in $RECEIVERS; do
    for conns in $CONNECTIONS; do
      echo "rep $rep/$REPS: $name, $N messages over $conns connection(s)" >&2
      one_run "$name" "$conns" "$rep" ||
        echo "$name,$conns,$FRAMING,$rep,$N,,,,,,,,,,,,,startup_failed,$(date -u +%Y-%m-%dT%H:%M:%SZ),," >>"$csv"
    done
  done
done
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/versions.txt"

python3 - "$results" <<'PY' | tee "$results/summary.md"
import csv, statistics, sys
base = sys.argv[1]
rows = list(csv.DictReader(open(f"{base}/runs.csv")))
versions = dict(line.rstrip("\n").split(": ", 1) for line in open(f"{base}/versions.txt") if ": " in line)
print(f"## Syslog over TCP into a file ({rows[0]['framing'] if rows else '?'} framing), medians")
knobs = next((line.strip() for line in open(f"{base}/versions.txt") if line.startswith("N=")), "")
print(f"{knobs}; commit {versions.get('commit', '?')}; load average at start "
      f"{versions.get('load at start', '?')}, at end {versions.get('load at end', '?')}\n")
print("| receiver | connections | msgs/s | CPU us/msg | peak RSS MiB | sender done after s | lost per rep | other CPU s per rep | runs ok |")
print("|---|---|---|---|---|---|---|---|---|")
groups = {}
for r in rows:
    groups.setdefault((r["receiver"], int(r["connections"])), []).append(r)
med = {}
for (rx, conns), rs in groups.items():
    ok = [r for r in rs if r["status"] == "ok" and int(r["received"] or 0) > 0]
    lost = ", ".join(r["lost"] or "-" for r in rs)
    other = ", ".join(r["other_cpu_s"] or "-" for r in rs)
    if not ok:
        print(f"| {rx} | {conns} | - | - | - | - | {lost} | {other} | 0/{len(rs)} ({rs[0]['status']}) |")
        continue
    rate = statistics.median(float(r["recv_rate"]) for r in ok)
    cpu = statistics.median(float(r["cpu_us_per_msg"]) for r in ok)
    rss = statistics.median(int(r["rss_kb"]) / 1024 for r in ok)
    send = statistics.median(float(r["send_s"]) for r in ok)
    med[rx, conns] = (rate, cpu, rss)
    print(f"| {rx} | {conns} | {rate/1000:.0f}k | {cpu:.2f} | {rss:.1f} | {send:.2f} | {lost} | {other} | {len(ok)}/{len(rs)} |")
ratios = []
for conns in sorted({c for _, c in med}):
    if ("corvantd", conns) in med and ("rsyslog", conns) in med:
        c, r = med["corvantd", conns], med["rsyslog", conns]
        ratios.append(f"{conns} connection(s): rate {c[0]/r[0]:.2f}, CPU per message {c[1]/r[1]:.2f}, "
                      f"peak RSS {c[2]/r[2]:.2f}")
if ratios:
    print("\ncorvantd / rsyslog: " + "; ".join(ratios))
dup = [r for r in rows if r["status"] == "ok" and r["distinct"] and int(r["distinct"]) != int(r["received"])]
if dup:
    print("\nruns whose lines are not all distinct messages: " +
          ", ".join(f"{r['receiver']} c{r['connections']} rep {r['rep']}" for r in dup))
PY
echo "results: $results" >&2
