#!/usr/bin/env bash
# The client's realtime display under load: bench/realtime_bench (a realtime
# page on Qt's offscreen platform, a sender thread in the same process) for
# each buffer size and rate, REPS times, each run in a fresh process. Measures
# what the page loses and how late a 10 ms timer on its window thread fires
# (the time the window takes to answer). Prints the medians and leaves the raw
# data in bench/results/realtime-<UTC stamp>/. About 10 minutes with the
# defaults.
#
# Knobs: BUFFERS (default "60 10000 100000"), RATES (datagrams/s, default
# "5000 10000 20000 40000"), N (datagrams per run, default 150000), REPS
# (default 3), BUILD_DIR (Release tree, default build-bench), JOBS (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
BUFFERS=${BUFFERS:-"60 10000 100000"}
RATES=${RATES:-"5000 10000 20000 40000"}
N=${N:-150000}
REPS=${REPS:-3}
BUILD_DIR=${BUILD_DIR:-build-bench}

work=$(mktemp -d /tmp/corvantel-rtbench-XXXXXX)
trap 'rm -rf "$work"' EXIT

if [ "$(id -u)" -eq 0 ]; then scripts/setup.sh; fi
if ! { cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF \
         -DCORVANTEL_BUILD_BENCH=ON &&
       cmake --build "$BUILD_DIR" --target realtime_bench -j "${JOBS:-2}"; } >"$work/build.log" 2>&1; then
  tail -30 "$work/build.log" >&2
  exit 1
fi
bench=$(cd "$BUILD_DIR" && pwd)/bench/realtime_bench

# A private platform root: the port's named object and the settings stay out
# of the machine's own.
export CORVANTEL_ROOT=$work/root CORVANTEL_USER_ROOT=$work/user QT_QPA_PLATFORM=offscreen

results=$top/bench/results/realtime-$(date -u +%Y%m%d-%H%M%S)
mkdir -p "$results"
{
  echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
  echo "commit: $(git rev-parse --short HEAD)"
  echo "cpus: $(nproc) ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'))"
  echo "kernel: $(uname -r)"
  echo "qt: $(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || echo unknown)"
  echo "compiler: $(c++ --version | head -1)"
  echo "N=$N REPS=$REPS BUFFERS=$BUFFERS RATES=$RATES"
} >"$results/versions.txt"

echo "buffer,rate,count,send_rate,send_errors,received,lost,rows,max_ms,p99_ms,drain_ms" >"$results/runs.csv"
for rep in $(seq "$REPS"); do
  for buffer in $BUFFERS; do
    for rate in $RATES; do
      echo "rep $rep: buffer $buffer, $rate/s" >&2
      "$bench" "$buffer" "$rate" "$N" >>"$results/runs.csv" 2>>"$results/stderr.log"
    done
  done
done

python3 - "$results/runs.csv" <<'PY' | tee "$results/summary.md"
import csv, statistics, sys
runs = {}
for r in csv.DictReader(open(sys.argv[1])):
    runs.setdefault((int(r["buffer"]), int(r["rate"])), []).append(r)
med = lambda rows, key: statistics.median(float(r[key]) for r in rows)
print("| buffer rows | rate /s | sent /s | lost (median, max) | answer p99 ms | answer max ms (median, max) "
      "| drain ms | runs |")
print("|---|---|---|---|---|---|---|---|")
for (buffer, rate), rows in sorted(runs.items()):
    lost = [int(r["lost"]) for r in rows]
    worst = max(float(r["max_ms"]) for r in rows)
    print(f"| {buffer} | {rate} | {med(rows, 'send_rate'):.0f} | {statistics.median(lost):.0f} ({max(lost)}) "
          f"| {med(rows, 'p99_ms'):.1f} | {med(rows, 'max_ms'):.1f} ({worst:.1f}) | {med(rows, 'drain_ms'):.0f} "
          f"| {len(rows)} |")
PY
