#!/usr/bin/env bash
# The receiving and processing threads and their queue, measured beside
# rsyslog and the null receiver in one run on this machine, with the harness of
# bench/peers:
#   1. burst drain: 200,000 datagrams queued in the socket while the receiver
#      is frozen, then drained (REPS repetitions, default 5): rate, CPU per
#      message, peak memory;
#   2. loss over 2,000,000 messages at the sender's top rate (3 repetitions),
#      corvantd with bReloadRuleBase 0 and with 1;
#   3. bench/mail-stall.sh: 2,000,000 messages at 50,000/s while a rule mails
#      1 % of them to a server that never answers: no file line may be lost.
# Prints the summaries and leaves the raw data in
# bench/results/pipeline-<UTC stamp>/. Run as root on a quiet machine; about
# 20 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/setup.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF >/dev/null

export WORK=${WORK:-/tmp/syslog-bench}
results=$top/bench/results/pipeline-$(date -u +%Y%m%d-%H%M%S)
mkdir -p "$results"

receiver() {  # NAME RELOAD: the harness's variables for one corvantd receiver
  local out=$WORK/run/$1/corvantd-$(date +%Y-%m-%d).log
  mkdir -p "$(dirname "$out")"
  export RELOAD_RULE_BASE=$2 EXTRA_RX_NAME=$1 EXTRA_RX_OUT=$out
  export EXTRA_RX_CMD="$top/bench/corvantd-receiver.sh $top/build-release {PORT} $out {RCVBUF}"
}

echo "== 1. burst drain"
receiver corvantd 0
RECEIVERS="null rsyslog corvantd" PHASES=burst REPS=${REPS:-5} BURST_N=200000 RESULTS_DIR=$results/burst \
  bench/peers/run-peers.sh >"$results/burst.log" 2>&1

echo "== 2. 2,000,000 messages at the sender's top rate"
RECEIVERS="null rsyslog corvantd" PHASES=ladder RATES=0 N=2000000 REPS=3 RESULTS_DIR=$results/top-rate \
  bench/peers/run-peers.sh >"$results/top-rate.log" 2>&1
receiver corvantd-reload1 1
RECEIVERS=corvantd-reload1 PHASES=ladder RATES=0 N=2000000 REPS=3 RESULTS_DIR=$results/top-rate-reload1 \
  bench/peers/run-peers.sh >"$results/top-rate-reload1.log" 2>&1

echo "== 3. a mail server that never answers"
bench/mail-stall.sh "$results/mail-stall" >"$results/mail-stall.log" 2>&1

python3 - "$results" <<'PY' | tee "$results/summary.md"
import csv, statistics, sys
base = sys.argv[1]

def rows(part):
    return [r for r in csv.DictReader(open(f"{base}/{part}/runs.csv")) if r["status"] == "ok"]

print("## Burst drain (200,000 datagrams), medians")
print("| receiver | msgs/s | CPU us/msg | peak RSS MiB |")
print("|---|---|---|---|")
burst = {}
for r in rows("burst"):
    burst.setdefault(r["name"], []).append(r)
med = {}
for rx, rs in burst.items():
    rate = statistics.median(float(r["recv_rate"]) for r in rs)
    cpu = statistics.median(float(r["recv_cpu_s"]) / int(r["received"]) * 1e6 for r in rs)
    rss = statistics.median(int(r["rss_kb"]) / 1024 for r in rs)
    med[rx] = (rate, cpu, rss)
    print(f"| {rx} | {rate/1000:.0f}k | {cpu:.2f} | {rss:.1f} |")
if {"corvantd", "rsyslog", "null"} <= med.keys():
    c, r, n = med["corvantd"], med["rsyslog"], med["null"]
    print(f"\ncorvantd / rsyslog drain: {c[0]/r[0]:.2f} (target >= 1.2); corvantd / null: {c[0]/n[0]:.2f} "
          f"(target >= 0.75); CPU per message corvantd / rsyslog: {c[1]/r[1]:.2f} (target <= 0.7); "
          f"peak RSS corvantd / rsyslog: {c[2]/r[2]:.2f}")

print("\n## 2,000,000 messages at the sender's top rate: lost messages per repetition")
print("| receiver | offered msgs/s (median) | lost per rep | kernel drops per rep |")
print("|---|---|---|---|")
for part in ("top-rate", "top-rate-reload1"):
    per = {}
    for r in rows(part):
        per.setdefault(r["name"], []).append(r)
    for rx, rs in per.items():
        offered = statistics.median(float(r["send_rate"]) for r in rs)
        lost = ", ".join(r["lost"] for r in rs)
        drops = ", ".join(r["sock_drops"] for r in rs)
        print(f"| {rx} | {offered/1000:.0f}k | {lost} | {drops} |")

print("\n## Mail server that never answers")
print(open(f"{base}/mail-stall/summary.txt").read())
PY
echo "results: $results"
