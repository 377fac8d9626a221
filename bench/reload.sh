#!/usr/bin/env bash
# The price of bReloadRuleBase 1: corvantd with reloading off and on, run by
# run in turn, the first of each pair alternating (REPS pairs, default 6),
# through the harness of bench/peers: the
# burst drain (200k datagrams queued, then drained) and the 50k/s ladder point,
# each with its CPU per message. Prints the medians and leaves the raw data in
# bench/results/reload-<UTC stamp>/. Run as root; about 10 minutes.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/setup.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF >/dev/null

export WORK=${WORK:-/tmp/syslog-bench}
results=$top/bench/results/reload-$(date -u +%Y%m%d-%H%M%S)
mkdir -p "$results"
for rep in $(seq "${REPS:-6}"); do
  order="0 1"
  [ $((rep % 2)) -eq 0 ] && order="1 0"
  for reload in $order; do
    name=corvantd-reload$reload
    out=$WORK/run/$name/corvantd-$(date +%Y-%m-%d).log
    mkdir -p "$(dirname "$out")"
    echo "rep $rep: $name"
    RELOAD_RULE_BASE=$reload EXTRA_RX_NAME=$name EXTRA_RX_OUT=$out \
      EXTRA_RX_CMD="$top/bench/corvantd-receiver.sh $top/build-release {PORT} $out {RCVBUF}" \
      RECEIVERS=$name PHASES="ladder burst" RATES=50000 REPS=1 RESULTS_DIR=$results/$name-$rep \
      bench/peers/run-peers.sh >"$results/$name-$rep.log" 2>&1
  done
done

python3 - "$results" <<'PY' | tee "$results/summary.md"
import csv, glob, statistics, sys
rows = {}
for path in glob.glob(sys.argv[1] + "/*/runs.csv"):
    for r in csv.DictReader(open(path)):
        if r["status"] != "ok" or not int(r["received"] or 0):
            continue
        cpu = float(r["recv_cpu_s"]) / int(r["received"]) * 1e6
        rows.setdefault((r["name"], r["mode"]), []).append((float(r["recv_rate"]), cpu))
print("| corvantd | burst drain msgs/s (median, min-max) | CPU µs/msg in the burst | CPU µs/msg at 50k/s | runs |")
print("|---|---|---|---|---|")
for name in ("corvantd-reload0", "corvantd-reload1"):
    burst = rows.get((name, "burst"), [])
    ladder = rows.get((name, "ladder"), [])
    if not burst:
        continue
    rates = [b[0] for b in burst]
    print(f"| bReloadRuleBase {name[-1]} | {statistics.median(rates)/1000:.0f}k ({min(rates)/1000:.0f}k-{max(rates)/1000:.0f}k)"
          f" | {statistics.median(b[1] for b in burst):.2f}"
          f" | {statistics.median(l[1] for l in ladder) if ladder else float('nan'):.2f} | {len(burst)} |")
PY
