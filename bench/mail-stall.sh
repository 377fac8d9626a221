#!/usr/bin/env bash
# No lost file line while a mail server never answers: corvantd files every
# message and mails those whose number ends in 00 (1 %) to an SMTP server that
# accepts the connection and never says a word. The sender offers RATE
# messages/s (50,000) for N messages (2,000,000); the script then waits until
# every message is filed (each try of the mail server holds processing for the
# mail action's time-out, 60 s, while the queue takes the flow in memory and in
# its spool) and reports the lines lost, the kernel's drops, the most the queue
# held on disk and the service's figures. Run as root, after bench/run.sh has
# built build-release and the sender.
#
# usage: mail-stall.sh [RESULTS_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
rate=${RATE:-50000} n=${N:-2000000} port=${PORT:-15515}
work=${WORK:-/tmp/syslog-bench}/run/mail-stall
results=${1:-$top/bench/results/mail-stall-$(date -u +%Y%m%d-%H%M%S)}
bin=$top/build-release
sender=${WORK:-/tmp/syslog-bench}/bin/sender
[ -x "$sender" ] || { mkdir -p "$(dirname "$sender")"; cc -O2 -Wall -o "$sender" bench/peers/sender.c; }
mkdir -p "$results"

export CORVANTEL_ROOT=$work/root CORVANTEL_USER_ROOT=$work/root/user
corvctl=$bin/platform/tools/corvctl/corvctl
"$corvctl" sc stop TolvaneCorvantel >/dev/null 2>&1 || true
rm -rf "$work"
mkdir -p "$CORVANTEL_ROOT" "$work/logs"

smtp_log=$work/smtp.out
python3 bench/silent_smtp.py >"$smtp_log" &
smtp=$!
trap 'kill $smtp 2>/dev/null; "$corvctl" sc stop TolvaneCorvantel >/dev/null 2>&1 || true' EXIT
for _ in $(seq 50); do [ -s "$smtp_log" ] && break; sleep 0.1; done
smtp_port=$(head -1 "$smtp_log")

"$bin/daemon/corvantd" -i >/dev/null
params='HKLM\SYSTEM\CurrentControlSet\Services\TolvaneCorvantel\Parameters'
"$corvctl" reg add "$params" nSyslogPort REG_DWORD "$port"
"$corvctl" reg add "$params" nReceiveBufferSize REG_DWORD 8388608
"$corvctl" reg add "$params" szBaseLogFilePath REG_SZ "$work/logs"
"$corvctl" reg add "$params" nUniqueFileName REG_DWORD 0
"$corvctl" reg add "$params" szSMTPServer REG_SZ 127.0.0.1
"$corvctl" reg add "$params" nSMTPPort REG_DWORD "$smtp_port"
"$corvctl" reg add "$params" szSMTPRecipient REG_SZ ops@example.org
"$corvctl" reg add "$params" szSMTPSender REG_SZ corvantel@example.org
# Rule 1 files every message; rule 2 mails those whose number ends in 00 (the
# sender's text is "message NNNNNNN bcdefghij..."). The file rule comes
# first: a message that meets the mail output suspended skips the rest of its
# rules, as a failed action's message does.
"$corvctl" reg import - <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\TolvaneCorvantel\\Parameters\\Rules]
"nRuleCount"=dword:00000002
"nRuleVersion"=dword:00000001
"R1RuleName"="File-Logging"
"R1ActionCount"=dword:00000001
"R1A1Type"=dword:000003eb
"R2RuleName"="Mail one in a hundred"
"R2Message"="00 bcdefghij"
"R2ActionCount"=dword:00000001
"R2A1Type"=dword:000003ea
REG
"$corvctl" sc start TolvaneCorvantel >/dev/null

log=$work/logs/Corvantel.log
start=$(date +%s)
"$sender" -p "$port" -n "$n" -r "$rate" -b 16 -s 100 >"$results/sender.txt"
sent_at=$(date +%s)
most_on_disk=0
lines=0
while :; do
  lines=$(wc -l <"$log" 2>/dev/null || echo 0)
  disk=$("$corvctl" stats --json | python3 -c 'import json,sys; print(json.load(sys.stdin).get("queued_disk",0))')
  [ "$disk" -gt "$most_on_disk" ] && most_on_disk=$disk
  [ "$lines" -ge "$n" ] && break
  [ $(($(date +%s) - sent_at)) -gt 600 ] && break
  sleep 1
done
done_at=$(date +%s)
"$corvctl" stats >"$results/stats.txt"
"$corvctl" stats --json >"$results/stats.json"
"$corvctl" events --source TolvaneCorvantel | grep -A3 'event 16[01]' >"$results/events.txt" || true
distinct=$(sed -n 's/.*message \([0-9]\{7\}\).*/\1/p' "$log" | sort -u | wc -l)
dropped=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["kernel_dropped"])' "$results/stats.json")
{
  echo "offered: $n messages at $(sed -n 's/.*rate=\([0-9.]*\).*/\1/p' "$results/sender.txt") msg/s, 1 % of them to a mail server that never answers"
  echo "filed: $lines lines, $distinct distinct messages; lost: $((n - distinct)); dropped by the kernel: $dropped"
  echo "most waiting in the spool at once: $most_on_disk messages"
  echo "all filed $((done_at - start)) s after the first was sent ($((done_at - sent_at)) s after the last)"
  echo "suspension events (160): $(grep -c 'event 160' "$results/events.txt" || true)"
  echo "recovery events (161): $(grep -c 'event 161' "$results/events.txt" || true)"
  echo "mail output: $(grep ' mail ' "$results/stats.txt" || true)" 
} | tee "$results/summary.txt"
