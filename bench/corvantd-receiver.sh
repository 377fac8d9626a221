#!/usr/bin/env bash
# Starts corvantd as a receiver of the benchmark harness: a private platform
# root next to the output file, the service installed there, listening on
# PORT with a socket buffer of RCVBUF bytes, a two-rule rule base that files
# every message into one daily file, OUT. The last step execs the daemon
# through the service manager, so the harness measures the daemon's process.
# RELOAD_RULE_BASE=1 in the environment sets bReloadRuleBase (default 0);
# TCP_PORT=P sets nTcpPort, so that the daemon listens on TCP port P too.
#
# usage: corvantd-receiver.sh BIN_DIR PORT OUT RCVBUF
set -euo pipefail
bin=$1 port=$2 out=$3 rcvbuf=$4
dir=$(dirname "$out")
base=$(basename "$out" .log)
base=${base%-????-??-??}  # OUT is <dir>/<base>-<today>.log: the daemon adds the date itself

export CORVANTEL_ROOT=$dir/root CORVANTEL_USER_ROOT=$dir/root/user
rm -rf "$CORVANTEL_ROOT"
mkdir -p "$CORVANTEL_ROOT"
corvctl=$bin/platform/tools/corvctl/corvctl
"$bin/daemon/corvantd" -i >/dev/null

params='HKLM\SYSTEM\CurrentControlSet\Services\TolvaneCorvantel\Parameters'
"$corvctl" reg add "$params" nSyslogPort REG_DWORD "$port"
"$corvctl" reg add "$params" nReceiveBufferSize REG_DWORD "$rcvbuf"
"$corvctl" reg add "$params" szBaseLogFilePath REG_SZ "$dir"
"$corvctl" reg add "$params" szBaseLogFileName REG_SZ "$base"
"$corvctl" reg add "$params" bReloadRuleBase REG_DWORD "${RELOAD_RULE_BASE:-0}"
if [ -n "${TCP_PORT:-}" ]; then "$corvctl" reg add "$params" nTcpPort REG_DWORD "$TCP_PORT"; fi
# Rule 1 files authentication messages apart (none in the benchmark's
# traffic, so every message is tested and passed on); rule 2 files all.
"$corvctl" reg import - <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules]
"nRuleCount"=dword:00000002
"nRuleVersion"=dword:00000001
"R1RuleName"="Auth"
"R1Facility"=dword:00000004
"R1ActionCount"=dword:00000001
"R1A1Type"=dword:000003eb
"R1A1String"="auth"
"R2RuleName"="File-Logging"
"R2ActionCount"=dword:00000001
"R2A1Type"=dword:000003eb
REG
exec "$corvctl" sc run TolvaneCorvantel
