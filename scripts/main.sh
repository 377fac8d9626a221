#!/usr/bin/env bash
# Sets up the machine, builds and installs Corvantel, and runs its main job:
# the syslog service installed, given a first rule base when it has none,
# started, sent a test message, and the message shown in today's log file.
# CorvantelClient and its manual are installed beside them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF >/dev/null
cmake --install build-release >/dev/null
mkdir -p /var/log/corvantel

corvantd=/usr/local/bin/corvantd
corvctl=/usr/local/bin/corvctl
service=TolvaneCorvantel
params='HKLM\SYSTEM\CurrentControlSet\Services\TolvaneCorvantel\Parameters'

echo "== corvantd -h"
"$corvantd" -h

echo
echo "== install the service"
if "$corvctl" sc query "$service" >/dev/null 2>&1; then
  # Stop a service left running by an earlier run, so that it starts from the
  # program just installed.
  "$corvctl" sc stop "$service" >/dev/null 2>&1 || true
fi
"$corvantd" -i
"$corvantd" -v

if ! "$corvctl" reg get "$params\\Rules" nRuleCount >/dev/null 2>&1; then
  echo
  echo "== no rule base yet: importing packaging/first-rulebase.reg"
  "$corvctl" reg import packaging/first-rulebase.reg
fi
echo
echo "== a ready database: the ODBC data source \"Corvantel\" on SQLite"
packaging/setup-sqlite-dsn.sh
echo "   (to use it, add a rule action of type 1000, or set szODBCDsn to Corvantel; see the README)"

port=$("$corvctl" reg get "$params" nSyslogPort 2>/dev/null || echo 0)
[ "$port" = 0 ] && port=514

echo
echo "== start the service"
"$corvctl" sc start "$service"

echo
echo "== send a test message to port $port with logger"
text="Corvantel main job test message $(date +%s)"
logger --udp --server 127.0.0.1 --port "$port" --rfc3164 --priority user.notice --tag mainjob "$text"

logfile=/var/log/corvantel/Corvantel-$(date +%Y-%m-%d).log
for _ in $(seq 50); do
  grep -qF "$text" "$logfile" 2>/dev/null && break
  sleep 0.1
done
echo "== $logfile:"
if ! grep -F "$text" "$logfile"; then
  echo "main.sh: the test message did not reach $logfile" >&2
  "$corvctl" events --source "$service" | tail -n 20 >&2
  exit 1
fi

echo
echo "== the service's events"
"$corvctl" events --source "$service" | tail -n 12
echo
echo "The service keeps running; stop it with: $corvctl sc stop $service"
echo "The administration program is installed too: start /usr/local/bin/CorvantelClient on a desktop"
echo "session as root to edit the service's settings and control it (see the README)."
