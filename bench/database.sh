#!/usr/bin/env bash
# Rows per second into a database, in one run on this machine, each case a
# fresh receiver process fed the same paced UDP datagrams (bench/peers/sender.c,
# 100 bytes, RATE per second):
#   file        corvantd's file action (the reference: no database)
#   sqlite      corvantd's database action into SQLite through its ODBC driver
#               (libsqliteodbc; the data source's defaults)
#   postgres    corvantd's database action into PostgreSQL through psqlodbc
#   rsyslog-pg  rsyslogd (imudp -> ompgsql) into the same PostgreSQL table, as
#               an unprivileged foreground peer with a configuration of its own:
#               an in-memory action queue handing ompgsql batches of
#               RSYSLOG_BATCH messages, one transaction each, as rsyslog's
#               documentation advises for database outputs
# PostgreSQL is a server started here in a temporary folder (nothing forced to
# disk), with the table of packaging/sql/postgresql.sql; SQLite gets a new
# file of packaging/sql/sqlite.sql for every run. For each case, REPS times:
#   rows/s      rows stored / (time the last row was stored - first datagram
#               sent); the last row's time is the output file's mtime, the
#               SQLite file's mtime (every commit writes it), or the commit
#               time stamp of PostgreSQL's last transaction
#               (track_commit_timestamp, pg_last_committed_xact())
#   CPU us/row  utime+stime of the receiver's process over the run / rows
#   server      the same of the PostgreSQL server (postmaster, its background
#               processes and backends, ended ones included) for its cases
#   peak RSS    VmHWM of the receiver's process at the end of the run
#   rows/tx     rows per transaction: PostgreSQL's count of the transactions
#               that wrote the rows (their xmin), or for SQLite the batches
#               corvantd counted (its statistics file)
#   lost        datagrams sent - rows; sock drops: the kernel's count for the
#               receiving socket (the rest was lost inside the receiver)
# The sender's rate is kept above the targets (20,000 rows/s into SQLite,
# 10,000 into PostgreSQL) so that the receivers' queues take the difference;
# a case faster than RATE measures RATE. Prints the medians and leaves the raw
# data in bench/results/database-<UTC stamp>/.
# The driver manager's connection pooling is no longer compared: the action
# keeps one connection per data source, so there is nothing to pool.
# Run as root (PostgreSQL runs as postgres, rsyslogd as nobody) on a quiet
# machine; about 2 minutes with the defaults, the build aside.
#
# Knobs: N (100000 messages per run), REPS (3), RATE (100000 datagrams/s; 0:
# as fast as the sender goes, which rsyslog's imudp does not keep up with),
# CASES ("file sqlite postgres rsyslog-pg"), ODBC_BATCH (sets nODBCBatchSize;
# unset: the daemon's default), RSYSLOG_BATCH (1000: the action queue's
# dequeueBatchSize), PG_PROTOCOL (psqlodbc's Protocol value for the data
# source, e.g. 7.4-1: roll back whole transactions instead of wrapping each
# statement in a savepoint; unset: the driver's default, 7.4-2),
# BUILD (Release tree, default build-release), JOBS (2),
# WORK (/tmp/corvantel-db-bench), SETTLE (3: seconds without a new row that
# end a run), MAX_WAIT (300: seconds after the sender ends at most).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
. "$top/bench/lib/run.sh"
N=${N:-100000}
REPS=${REPS:-3}
RATE=${RATE:-100000}
CASES=${CASES:-"file sqlite postgres rsyslog-pg"}
ODBC_BATCH=${ODBC_BATCH:-}
RSYSLOG_BATCH=${RSYSLOG_BATCH:-1000}
BUILD=$(realpath -m "${BUILD:-build-release}")
WORK=${WORK:-/tmp/corvantel-db-bench}
SETTLE=${SETTLE:-3}
MAX_WAIT=${MAX_WAIT:-300}
RCVBUF=4194304
RSYSLOGD=/usr/sbin/rsyslogd
RSYSLOG_MODDIR=/usr/lib/x86_64-linux-gnu/rsyslog
pgbin=/usr/lib/postgresql/15/bin
odbcdir=/usr/lib/x86_64-linux-gnu/odbc
service=TolvaneCorvantel
params='HKLM\SYSTEM\CurrentControlSet\Services\TolvaneCorvantel\Parameters'

if [ "$(id -u)" -ne 0 ]; then
  echo "database.sh: run as root (PostgreSQL runs as postgres, rsyslogd as nobody)" >&2
  exit 1
fi
scripts/setup.sh >/dev/null
rm -rf "$WORK/pg" "$WORK/run" "$WORK/odbc"
mkdir -p "$WORK/bin"
chmod 755 "$WORK"
if ! { cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF &&
       cmake --build "$BUILD" --target corvantd corvctl -j "${JOBS:-2}"; } >"$WORK/build.log" 2>&1; then
  tail -30 "$WORK/build.log" >&2
  exit 1
fi
corvantd=$BUILD/daemon/corvantd
corvctl=$BUILD/platform/tools/corvctl/corvctl
cc -O2 -Wall -o "$WORK/bin/sender" bench/peers/sender.c
sender=$WORK/bin/sender

results=$top/bench/results/database-$(date -u +%Y%m%d-%H%M%S)
mkdir -p "$results/logs"
version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo unknown; }
{
  echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "commit: $(git rev-parse --short HEAD)"
  echo "database action: $(git log -1 --format='%h %s' -- daemon/actions/COdbcAction.cpp | cut -c1-100)"
  echo "cpus: $(nproc) ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
  echo "kernel: $(uname -r)"
  echo "postgresql: $("$pgbin/postgres" --version | awk '{print $3}')"
  echo "psqlodbc: $(version odbc-postgresql)"
  echo "sqliteodbc: $(version libsqliteodbc) (sqlite $(sqlite3 --version | cut -d' ' -f1))"
  echo "unixodbc: $(version unixodbc)"
  echo "rsyslog: $(version rsyslog), rsyslog-pgsql $(version rsyslog-pgsql)"
  echo "compiler: $(cc --version | head -1)"
  echo "fs of $WORK: $(df -T "$WORK" | awk 'NR==2{print $2" on "$1}')"
  echo "N=$N REPS=$REPS RATE=$RATE CASES='$CASES' ODBC_BATCH=${ODBC_BATCH:-default} RSYSLOG_BATCH=$RSYSLOG_BATCH SETTLE=$SETTLE"
  echo "load at start: $(cut -d' ' -f1-3 /proc/loadavg)"
} >"$results/versions.txt"
warn_if_loaded

pg() { runuser -u postgres -- "$@"; }
rmem_was=$(sysctl -n net.core.rmem_max)
cleanup() {
  stop_receiver
  [ -n "${PSQL_PID:-}" ] && kill "$PSQL_PID" 2>/dev/null || true
  pg "$pgbin/pg_ctl" -D "$WORK/pg/data" -m immediate -w stop >/dev/null 2>&1 || true
  [ "$(sysctl -n net.core.rmem_max)" = "$rmem_was" ] || sysctl -qw net.core.rmem_max="$rmem_was"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Every receiver asks for the same socket buffer, which the kernel grants up to this.
[ "$rmem_was" -ge "$RCVBUF" ] || sysctl -qw net.core.rmem_max="$RCVBUF"

udp_bound() { [ -n "$(ss -H -uln "sport = :$1" 2>/dev/null)" ]; }
sock_drops() {  # the kernel's drop count of the UDP socket bound to PORT
  ss -H -uamn "sport = :$1" 2>/dev/null | tr -d '\n' | sed -n 's/.*skmem:(\([^)]*\)).*/\1/p' | tr ',' '\n' |
    awk '/^d/{d=substr($0,2)} END{print (d == "" ? "" : d)}'
}

# PostgreSQL: fast to start, nothing forced to disk, commit time stamps kept
# (the time of the last row).
pgport=$(free_port tcp)
mkdir -p "$WORK/pg" && chown postgres: "$WORK/pg"
pg "$pgbin/initdb" -D "$WORK/pg/data" -N --auth=trust -U postgres -E UTF8 --locale=C.UTF-8 >/dev/null
pg "$pgbin/pg_ctl" -D "$WORK/pg/data" -l "$WORK/pg/log" -w -o "-c listen_addresses=127.0.0.1 -p $pgport \
  -k $WORK/pg -c fsync=off -c synchronous_commit=off -c track_commit_timestamp=on" start >/dev/null
pgpid=$(head -1 "$WORK/pg/data/postmaster.pid")
psql_() { "$pgbin/psql" -X -q -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$pgport" -U postgres -d postgres "$@"; }
psql_ -f packaging/sql/postgresql.sql
# One session answers the polls, so that they cost no connection each.
coproc PSQL { "$pgbin/psql" -X -q -At -h 127.0.0.1 -p "$pgport" -U postgres -d postgres 2>&1; }
pg_query() {  # prints the answer's lines; an end mark follows them
  local line
  printf '%s\n\\echo --end--\n' "$1" >&"${PSQL[1]}"
  while :; do
    IFS= read -r -t 60 line <&"${PSQL[0]}" || { echo "the polling session did not answer: $1" >&2; return 1; }
    [ "$line" != --end-- ] || return 0
    printf '%s\n' "$line"
  done
}
# utime+stime+cutime+cstime of the postmaster and its children: ended
# backends' time is in the postmaster's share once it has reaped them.
pg_ticks() {
  { sed 's/.*) //' "/proc/$pgpid/stat"
    for c in $(ps -o pid= --ppid "$pgpid"); do sed 's/.*) //' "/proc/$c/stat" 2>/dev/null || true; done
  } | awk '{s += $12 + $13 + $14 + $15} END {print s + 0}'
}

# The driver manager's configuration: no pooling, the drivers' own defaults.
mkdir -p "$WORK/odbc"
cat >"$WORK/odbc/odbcinst.ini" <<INI
[SQLite3]
Driver = $odbcdir/libsqlite3odbc.so

[PostgreSQL Unicode]
Driver = $odbcdir/psqlodbcw.so
INI
cat >"$WORK/odbc/odbc.ini" <<INI
[CorvLite]
Driver = SQLite3
Database = $WORK/lite.db
Timeout = 5000

[CorvPg]
Driver = PostgreSQL Unicode
Servername = 127.0.0.1
Port = $pgport
Database = postgres
Username = postgres
${PG_PROTOCOL:+Protocol = $PG_PROTOCOL}
INI

# Per case: COUNT prints the rows stored, SIG changes whenever rows are added,
# LAST prints the time (s since 1970) the last row was stored.
count_rows() {
  case $KIND in
  file) local f; f=$(compgen -G "$OUT_GLOB" || true); if [ -n "$f" ]; then cat $f | wc -l; else echo 0; fi ;;
  sqlite) sqlite3 -cmd '.timeout 5000' "$WORK/lite.db" 'select count(*) from Syslog' ;;
  pg) pg_query 'select count(*) from Syslog;' ;;
  esac
}
sig_rows() {
  case $KIND in
  file) local f; f=$(compgen -G "$OUT_GLOB" || true); if [ -n "$f" ]; then stat -c '%s %.9Y' $f | tr '\n' ' '; else echo none; fi ;;
  sqlite) stat -c '%s %.9Y' "$WORK"/lite.db* 2>/dev/null | tr '\n' ' ' ;;
  pg) pg_query 'select (pg_last_committed_xact()).xid;' ;;
  esac
}
last_row_time() {
  case $KIND in
  file) local f; f=$(compgen -G "$OUT_GLOB" || true); if [ -n "$f" ]; then stat -c %.9Y $f | sort -n | tail -1; else echo 0; fi ;;
  sqlite) stat -c %.9Y "$WORK/lite.db" ;;
  pg) pg_query 'select extract(epoch from (pg_last_committed_xact()).timestamp);' ;;
  esac
}
# Distinct sequence numbers of the benchmark's messages (the probes are 9000000 and up).
distinct_rows() {
  case $KIND in
  file) cat $(compgen -G "$OUT_GLOB") </dev/null | grep -ao 'message [0-9]\{7\}' | awk '$2 < 9000000' |
          LC_ALL=C sort -u | wc -l ;;
  sqlite) sqlite3 -cmd '.timeout 5000' "$WORK/lite.db" "select count(distinct s) from (select
            substr(Message, instr(Message, 'message ') + 8, 7) s from Syslog) where s < '9000000'" ;;
  pg) pg_query "select count(distinct s) from (select substring(Message from 'message ([0-9]{7})') s
                from Syslog) t where s < '9000000';" ;;
  esac
}
sample_row() {
  case $KIND in
  file) tail -1 $(compgen -G "$OUT_GLOB") </dev/null ;;
  sqlite) sqlite3 -cmd '.timeout 5000' "$WORK/lite.db" 'select * from Syslog order by ID desc limit 1' ;;
  pg) pg_query 'select ID, ReceivedAt, Facility, Priority, FromHost, Message from Syslog order by ID desc limit 1;' ;;
  esac
}

# Transactions that stored rows: PostgreSQL counts them itself (the benchmark's
# rows only); for SQLite the daemon's statistics file (written once a second)
# has its database outputs' batches, less BATCHES0 from before the clock.
batches() { awk -F= '$1 ~ /^output\.[0-9]+\.batches$/ {s += $2} END {print s + 0}' "$STATS" 2>/dev/null || echo 0; }
transactions() {
  case $KIND in
  sqlite)  # the figures of a second after the last row
    local now i; now=$(date +%s)
    for i in $(seq 30); do
      [ "$(awk -F= '$1 == "written" {print $2}' "$STATS" 2>/dev/null || echo 0)" -gt "$now" ] && break
      sleep 0.1
    done
    echo $(($(batches) - BATCHES0)) ;;
  pg) pg_query "select count(distinct xmin::text) from Syslog
                where substring(Message from 'message ([0-9]{7})') < '9000000';" ;;
  *) echo "" ;;
  esac
}

# corvantd_case DIR PORT TYPE DSN: a private platform root in DIR with the
# service installed, listening on PORT, one rule with one action of TYPE.
corvantd_case() {
  local dir=$1 port=$2 type=$3 dsn=$4
  export CORVANTEL_ROOT=$dir/root CORVANTEL_USER_ROOT=$dir/root/user
  mkdir -p "$CORVANTEL_ROOT" "$dir/logs"
  "$corvantd" -i >/dev/null
  "$corvctl" reg add "$params" nSyslogPort REG_DWORD "$port" >/dev/null
  "$corvctl" reg add "$params" nReceiveBufferSize REG_DWORD "$RCVBUF" >/dev/null
  "$corvctl" reg add "$params" szBaseLogFilePath REG_SZ "$dir/logs" >/dev/null
  "$corvctl" reg add "$params" szODBCDsn REG_SZ "$dsn" >/dev/null
  "$corvctl" reg add "$params" szODBCUid REG_SZ postgres >/dev/null
  if [ -n "$ODBC_BATCH" ]; then "$corvctl" reg add "$params" nODBCBatchSize REG_DWORD "$ODBC_BATCH" >/dev/null; fi
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules]\n"nRuleCount"=dword:00000001\n"nRuleVersion"=dword:00000001\n"R1RuleName"="Bench"\n"R1ActionCount"=dword:00000001\n"R1A1Type"=dword:%08x\n' "$type" |
    "$corvctl" reg import - >/dev/null
  STATS=$CORVANTEL_ROOT/services/tolvanecorvantel/stats
  CMD="env CORVANTEL_ROOT=$CORVANTEL_ROOT CORVANTEL_USER_ROOT=$CORVANTEL_USER_ROOT ODBCSYSINI=$WORK/odbc"
  CMD+=" ODBCINI=$WORK/odbc/odbc.ini $corvctl sc run $service"
  unset CORVANTEL_ROOT CORVANTEL_USER_ROOT
}

# rsyslog_case DIR PORT: rsyslogd's configuration; it runs as nobody. The row
# is the action's: the time of reception (local, no zone), facility,
# severity, the sender's address and the text after the PRI part, escaped for
# a standard SQL string (option.stdsql: PostgreSQL's standard_conforming_strings).
rsyslog_case() {
  local dir=$1 port=$2
  mkdir -p "$dir/work"
  cat >"$dir/rsyslog.conf" <<CONF
global(workDirectory="$dir/work")
module(load="imudp")
module(load="ompgsql")
template(name="corvRow" type="string" option.stdsql="on"
         string="insert into Syslog(ReceivedAt, Facility, Priority, FromHost, Message) values ('%timegenerated:::date-pgsql%', %syslogfacility%, %syslogseverity%, '%fromhost-ip%', '%rawmsg-after-pri%')")
# A dedicated ruleset, so that rsyslogd's own messages never reach the table.
# The action queue takes what the database cannot take at once (queue.size
# well above N, so that nothing is discarded) and hands the output batches of
# dequeueBatchSize messages, each one transaction.
ruleset(name="bench") {
    action(type="ompgsql" server="127.0.0.1" port="$pgport" db="postgres" user="postgres"
           template="corvRow" queue.type="LinkedList" queue.size="$((N + 1000000))"
           queue.dequeueBatchSize="$RSYSLOG_BATCH")
}
input(type="imudp" address="127.0.0.1" port="$port" rcvbufSize="$RCVBUF" ruleset="bench")
CONF
  chown -R nobody:nogroup "$dir"
  CMD="setpriv --reuid=nobody --regid=nogroup --clear-groups -- $RSYSLOGD -n -f $dir/rsyslog.conf"
  CMD+=" -i $dir/rsyslog.pid -M $RSYSLOG_MODDIR"
}

# receiver CASE PORT: clears the stores and the case's folder; sets CMD, KIND
# and OUT_GLOB.
receiver() {
  local dir=$WORK/run/$1
  rm -rf "$dir"
  mkdir -p "$dir"
  chmod 755 "$dir"
  OUT_GLOB="" STATS=/dev/null
  case $1 in
  file) KIND=file; corvantd_case "$dir" "$2" 1003 -; OUT_GLOB="$dir/logs/*.log" ;;
  sqlite)
    KIND=sqlite
    rm -f "$WORK"/lite.db*
    sqlite3 "$WORK/lite.db" <packaging/sql/sqlite.sql
    corvantd_case "$dir" "$2" 1000 CorvLite ;;
  postgres) KIND=pg; pg_query 'truncate Syslog restart identity;' >/dev/null; corvantd_case "$dir" "$2" 1000 CorvPg ;;
  rsyslog-pg) KIND=pg; pg_query 'truncate Syslog restart identity;' >/dev/null; rsyslog_case "$dir" "$2" ;;
  *) echo "unknown case $1" >&2; return 1 ;;
  esac
}

csv=$results/runs.csv
echo "case,rep,n,rate_target,sent,send_s,send_rate,sender_cpu_s,rows,lost,sock_drops,distinct,transactions,rows_per_s,drain_s,recv_cpu_s,cpu_us_per_row,rss_kb,server_cpu_s,server_us_per_row,status,when,threads_cpu_s" >"$csv"

# one_run CASE REP: appends one row to runs.csv.
one_run() {
  local name=$1 rep=$2 port status=ok log
  port=$(free_port udp)
  log=$results/logs/$name.rep$rep.log
  receiver "$name" "$port"
  # 1) the port is bound, and a probe message (sequence 9000000 and up) is
  # stored (60 s): the whole way, connection included
  probe() { "$sender" -p "$port" -n 1 -S $((9000000 + $1)) >/dev/null; }
  start_receiver "$name" "$log" "udp_bound $port" "did not bind 127.0.0.1:$port/udp" count_rows probe 300 ||
    return 1
  sleep 1.2  # the daemon's statistics file has the probe's batch
  local base cpu0 pcpu0 out
  base=$(count_rows)
  BATCHES0=$(batches)
  cpu0=$(cpu_ticks "$RPID")
  pcpu0=$(pg_ticks)
  # 2) send
  out=$(timeout $((N / (RATE > 0 ? RATE : 100000) * 3 + 60)) "$sender" -p "$port" -n "$N" -r "$RATE") ||
    status=sender_failed
  local sent t_start t_end s_el s_rate s_cpu
  read_sender_summary "$out"
  # 3) settle: all N rows are there, or no new row for SETTLE s (MAX_WAIT at
  # most); the count is taken only once the signature holds still
  settle_output sig_rows count_rows "$base" 0.2
  # 4) collect, stop, check for duplicates
  local final tlast rss cpu1 pcpu1 thr drops distinct txs
  final=$(count_rows)
  tlast=$(last_row_time)
  txs=$(transactions)
  drops=$(sock_drops "$port")
  rss=$(awk '/^VmHWM:/{print $2}' "/proc/$RPID/status" 2>/dev/null || echo 0)
  cpu1=$(cpu_ticks "$RPID")
  pcpu1=$(pg_ticks)
  thr=$(thread_cpu "$RPID")
  stop_receiver
  distinct=$(distinct_rows)
  { echo "--- last row:"; sample_row; } >>"$log" 2>&1 || true
  local row
  row=$(awk -v name="$name" -v rep="$rep" -v n="$N" -v rate="$RATE" -v sent="$sent" -v sel="$s_el" \
    -v srate="$s_rate" -v scpu="$s_cpu" -v final="$final" -v base="$base" -v drops="$drops" \
    -v distinct="$distinct" -v txs="$txs" -v ts="$t_start" -v te="$t_end" -v tl="$tlast" -v c0="$cpu0" -v c1="$cpu1" \
    -v p0="$pcpu0" -v p1="$pcpu1" -v pgcase="$([ $KIND = pg ] && echo 1 || echo 0)" \
    -v tck="$(getconf CLK_TCK)" -v rss="$rss" -v st="$status" -v when="$(date -u +%Y-%m-%dT%H:%M:%SZ)" 'BEGIN{
      rows = final - base; lost = sent - rows
      span = tl - ts; rr = (span > 0 && rows > 0) ? rows / span : 0
      drain = (tl > te) ? tl - te : 0
      cpu = (c1 - c0) / tck; us = (rows > 0) ? cpu / rows * 1e6 : 0
      scpu_s = pgcase ? sprintf("%.2f", (p1 - p0) / tck) : ""
      sus = (pgcase && rows > 0) ? sprintf("%.2f", (p1 - p0) / tck / rows * 1e6) : ""
      printf "%s,%s,%d,%d,%d,%.3f,%.0f,%.3f,%d,%d,%s,%d,%s,%.0f,%.3f,%.2f,%.2f,%d,%s,%s,%s,%s\n",
        name, rep, n, rate, sent, sel, srate, scpu, rows, lost, drops, distinct, txs, rr, drain, cpu, us, rss,
        scpu_s, sus, st, when }')
  echo "$row,$thr" >>"$csv"
  echo "$row" >&2
}

for rep in $(seq "$REPS"); do
  for name in $CASES; do
    echo "rep $rep/$REPS: $name, $N datagrams at $RATE/s" >&2
    one_run "$name" "$rep" || echo "$name,$rep,$N,$RATE,,,,,,,,,,,,,,,,,startup_failed,$(date -u +%Y-%m-%dT%H:%M:%SZ)," >>"$csv"
  done
done
echo "load at end: $(cut -d' ' -f1-3 /proc/loadavg)" >>"$results/versions.txt"

python3 - "$results" <<'PY' | tee "$results/summary.md"
import csv, statistics, sys
base = sys.argv[1]
rows = list(csv.DictReader(open(f"{base}/runs.csv")))
versions = dict(line.rstrip("\n").split(": ", 1) for line in open(f"{base}/versions.txt") if ": " in line)
knobs = next((line.strip() for line in open(f"{base}/versions.txt") if line.startswith("N=")), "")
labels = {
    "file": "corvantd, file action",
    "sqlite": "corvantd into SQLite (ODBC)",
    "postgres": "corvantd into PostgreSQL (ODBC)",
    "rsyslog-pg": "rsyslog ompgsql into PostgreSQL",
}
print("## Rows per second into a database, medians")
print(f"{knobs}; commit {versions.get('commit', '?')}; load average at start "
      f"{versions.get('load at start', '?')}, at end {versions.get('load at end', '?')}\n")
print("| case | rows/s (min–max) | rows per transaction | receiver CPU us/row | PostgreSQL CPU us/row "
      "| receiver peak RSS MiB | lost per rep (kernel drops) | runs ok |")
print("|---|---|---|---|---|---|---|---|")
groups = {}
for r in rows:
    groups.setdefault(r["case"], []).append(r)
med = {}
for name, rs in groups.items():
    ok = [r for r in rs if r["status"] == "ok" and int(r["rows"] or 0) > 0]
    lost = ", ".join(f"{r['lost'] or '-'} ({r['sock_drops'] or '?'})" for r in rs)
    label = labels.get(name, name)
    if not ok:
        print(f"| {label} | - | - | - | - | - | {lost} | 0/{len(rs)} ({rs[0]['status']}) |")
        continue
    rates = [float(r["rows_per_s"]) for r in ok]
    rate = statistics.median(rates)
    per_tx = [int(r["rows"]) / int(r["transactions"]) for r in ok if r["transactions"] not in ("", "0")]
    cpu = statistics.median(float(r["cpu_us_per_row"]) for r in ok)
    srv = [float(r["server_us_per_row"]) for r in ok if r["server_us_per_row"]]
    rss = statistics.median(int(r["rss_kb"]) / 1024 for r in ok)
    med[name] = rate
    per_tx_text = f"{statistics.median(per_tx):,.0f}" if per_tx else "-"
    srv_text = f"{statistics.median(srv):.1f}" if srv else "-"
    print(f"| {label} | {rate:,.0f} ({min(rates):,.0f}–{max(rates):,.0f}) | {per_tx_text} | {cpu:.1f} | "
          f"{srv_text} | {rss:.1f} | {lost} | {len(ok)}/{len(rs)} |")
notes = []
for name, target in (("sqlite", 20000), ("postgres", 10000)):
    if name in med:
        notes.append(f"{labels[name]}: {med[name]:,.0f} rows/s against a target of {target:,} "
                     f"({'met' if med[name] >= target else 'not met'})")
if "postgres" in med and "rsyslog-pg" in med:
    notes.append(f"corvantd / rsyslog into PostgreSQL: {med['postgres'] / med['rsyslog-pg']:.2f}")
rate_target = int(rows[0]["rate_target"]) if rows else 0
capped = [labels.get(n, n) for n, r in med.items() if rate_target and r >= 0.95 * rate_target]
if capped:
    notes.append("at the sender's rate (the receiver may be faster): " + ", ".join(capped))
if notes:
    print()
    for n in notes:
        print(f"- {n}")
dup = [r for r in rows if r["status"] == "ok" and r["distinct"] and int(r["distinct"]) != int(r["rows"])]
if dup:
    print("\nruns whose rows are not all distinct messages: " +
          ", ".join(f"{r['case']} rep {r['rep']}" for r in dup))
PY
echo "results: $results" >&2
