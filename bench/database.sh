#!/usr/bin/env bash
# Measures the database action through the real daemon: messages per second
# inserted into SQLite (its ODBC driver) and into PostgreSQL (a server started
# here, in a temporary folder), each without and with the driver manager's
# connection pooling, beside the rate of the plain file action. Every case
# sends N datagrams at once to a corvantd with one rule and one action, and
# times from the first datagram until the last row (or line) is there.
# Run as root (PostgreSQL runs as the user postgres); about a minute.
#
# usage: bench/database.sh            knobs: N (default 2000), BIN (build tree)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
N=${N:-2000}
BIN=${BIN:-$top/build-release}
pgbin=/usr/lib/postgresql/15/bin
odbcdir=/usr/lib/x86_64-linux-gnu/odbc

if [ ! -x "$BIN/daemon/corvantd" ]; then
  scripts/setup.sh
  scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF >/dev/null
  BIN=$top/build-release
fi
corvantd=$BIN/daemon/corvantd
corvctl=$BIN/platform/tools/corvctl/corvctl

work=$(mktemp -d /tmp/corvantel-dbbench-XXXXXX)
chmod 755 "$work"
pgport=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
pg() { runuser -u postgres -- "$@"; }
cleanup() {
  [ -n "${daemon_pid:-}" ] && kill "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null || true
  pg "$pgbin/pg_ctl" -D "$work/pg/data" -m immediate -w stop >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

# PostgreSQL: fast to start, nothing forced to disk.
mkdir -p "$work/pg" && chown postgres: "$work/pg"
pg "$pgbin/initdb" -D "$work/pg/data" -N --auth=trust -U postgres -E UTF8 --locale=C.UTF-8 >/dev/null
pg "$pgbin/pg_ctl" -D "$work/pg/data" -l "$work/pg/log" -w \
  -o "-c listen_addresses=127.0.0.1 -p $pgport -k $work/pg -c fsync=off -c synchronous_commit=off" start >/dev/null
psql_() { "$pgbin/psql" -X -q -At -h 127.0.0.1 -p "$pgport" -U postgres -d postgres -c "$1"; }
psql_ "$(cat packaging/sql/postgresql.sql)"
sqlite3 "$work/lite.db" <packaging/sql/sqlite.sql

# Two driver manager configurations, the same data sources.
for pooling in off on; do
  d=$work/odbc-$pooling
  mkdir -p "$d"
  {
    if [ $pooling = on ]; then printf '[ODBC]\nPooling = Yes\n\n'; fi
    printf '[SQLite3]\nDriver = %s/libsqlite3odbc.so\n' "$odbcdir"
    if [ $pooling = on ]; then printf 'CPTimeout = 60\n'; fi
    printf '\n[PostgreSQL Unicode]\nDriver = %s/psqlodbcw.so\n' "$odbcdir"
    if [ $pooling = on ]; then printf 'CPTimeout = 60\n'; fi
  } >"$d/odbcinst.ini"
  cat >"$d/odbc.ini" <<INI
[CorvLite]
Driver = SQLite3
Database = $work/lite.db
Timeout = 5000

[CorvPg]
Driver = PostgreSQL Unicode
Servername = 127.0.0.1
Port = $pgport
Database = postgres
Username = postgres
INI
done

# run_case LABEL KIND ACTION_TYPE DSN POOLING
run_case() {
  local label=$1 kind=$2 type=$3 dsn=$4 pooling=$5
  local root=$work/case-$label
  mkdir -p "$root/logs"
  export CORVANTEL_ROOT=$root CORVANTEL_USER_ROOT=$root/user
  export ODBCSYSINI=$work/odbc-$pooling ODBCINI=$work/odbc-$pooling/odbc.ini
  "$corvantd" -i >/dev/null
  local params='HKLM\SYSTEM\CurrentControlSet\Services\TolvaneCorvantel\Parameters'
  local port
  port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  "$corvctl" reg add "$params" nSyslogPort REG_DWORD "$port" >/dev/null
  "$corvctl" reg add "$params" szBaseLogFilePath REG_SZ "$root/logs" >/dev/null
  "$corvctl" reg add "$params" szODBCDsn REG_SZ "$dsn" >/dev/null
  "$corvctl" reg add "$params" szODBCUid REG_SZ postgres >/dev/null
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules]\n"nRuleCount"=dword:00000001\n"nRuleVersion"=dword:00000001\n"R1ActionCount"=dword:00000001\n"R1A1Type"=dword:%08x\n' "$type" |
    "$corvctl" reg import - >/dev/null
  "$corvctl" sc run TolvaneCorvantel >"$root/run.log" 2>&1 &
  daemon_pid=$!
  for _ in $(seq 100); do
    "$corvctl" sc query TolvaneCorvantel 2>/dev/null | grep -q RUNNING && break
    sleep 0.05
  done
  python3 - "$port" "$N" "$kind" "$work" "$pgport" <<'PY' | tee -a "$work/results"
import socket, subprocess, sys, time
port, n, kind, work, pgport = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
def rows():
    if kind == "file":
        import glob
        return sum(sum(1 for _ in open(f, "rb")) for f in glob.glob(work + "/case-file/logs/*.log"))
    if kind == "sqlite":
        out = subprocess.run(["sqlite3", work + "/lite.db", "select count(*) from Syslog"], capture_output=True, text=True).stdout
    else:
        out = subprocess.run(["/usr/lib/postgresql/15/bin/psql", "-X", "-q", "-At", "-h", "127.0.0.1", "-p", pgport,
                              "-U", "postgres", "-d", "postgres", "-c", "select count(*) from Syslog"], capture_output=True, text=True).stdout
    return int(out.strip() or 0)
before = rows()
def count():
    return rows() - before
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
start = time.monotonic()
for i in range(n):
    s.sendto(b"<14>bench: message %d of the database benchmark" % i, ("127.0.0.1", port))
last, last_change = 0, time.monotonic()
while True:
    c = count()
    now = time.monotonic()
    if c != last:
        last, last_change = c, now
    if c >= n or now - last_change > 5:
        break
    time.sleep(0.02)
elapsed = last_change - start
print(f"{last:>7} of {n}  {elapsed:7.2f} s  {last / elapsed if elapsed > 0 else 0:9.0f} msg/s")
PY
  kill "$daemon_pid" && wait "$daemon_pid" 2>/dev/null || true
  daemon_pid=
}

printf '%-26s %7s    %7s    %9s\n' case rows time rate | tee "$work/results"
for c in "file file 1003 - off" "sqlite sqlite 1000 CorvLite off" "sqlite-pooled sqlite 1000 CorvLite on" \
         "postgres postgres 1000 CorvPg off" "postgres-pooled postgres 1000 CorvPg on"; do
  set -- $c
  printf '%-18s' "$1"
  run_case "$@"
done
