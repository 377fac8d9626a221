#!/usr/bin/env bash
# Measures corvantd beside rsyslog, syslog-ng and a null receiver (the
# physical limit of receiving here) with the harness in bench/peers, in one
# run on this machine: paced rate ladder, burst drain, CPU per message, loss
# over 2 million messages, peak memory. Prints the summary table and leaves
# the raw data in bench/results/<UTC stamp>/. Run as root; about 20 minutes.
#
# Knobs: everything bench/peers/run-peers.sh takes (PHASES, REPS, N, ...);
# RECEIVERS defaults to "null rsyslog syslog-ng corvantd".
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

scripts/setup.sh
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DCORVANTEL_BUILD_TESTS=OFF >/dev/null

export WORK=${WORK:-/tmp/syslog-bench}
out_dir=$WORK/run/corvantd
mkdir -p "$out_dir"
export EXTRA_RX_NAME=corvantd
export EXTRA_RX_OUT=$out_dir/corvantd-$(date +%Y-%m-%d).log
export EXTRA_RX_CMD="$top/bench/corvantd-receiver.sh $top/build-release {PORT} $EXTRA_RX_OUT {RCVBUF}"
export RECEIVERS=${RECEIVERS:-"null rsyslog syslog-ng corvantd"}
export RESULTS_DIR=${RESULTS_DIR:-$top/bench/results/$(date -u +%Y%m%d-%H%M%S)}

exec "$top/bench/peers/run-peers.sh"
