#!/usr/bin/env bash
# run-peers.sh - one-shot UDP -> file benchmark of syslog receivers on loopback.
#
#   sudo ./run-peers.sh            # install + build + run everything + print tables
#
# Receivers (RECEIVERS, default: "null naive naive-keepopen rsyslog syslog-ng"):
#   null            bench/nullrecv.c    recvmmsg + count only (physical limit)
#   naive           bench/naive_recv.cpp recvfrom + open(O_APPEND)/write/close per msg
#   naive-keepopen  naive_recv -k       same, file kept open (isolates open/close cost)
#   rsyslog         Debian rsyslog        imudp -> omfile (bench/conf/rsyslog.conf.in)
#   syslog-ng       Debian syslog-ng-core udp() -> file() (bench/conf/syslog-ng.conf.in)
#   extra           your daemon: set EXTRA_RX_CMD / EXTRA_RX_OUT (see README.md)
#
# Phases (PHASES, default "ladder refine burst sustain"):
#   ladder   paced rate ladder (RATES x REPS, receivers interleaved per rep)
#   refine   REFINE bisection steps between the highest lossless and the
#            lowest lossy ladder point (REPS each)
#   burst    frozen-receiver drain test (big socket buffer, BURST_N msgs)
#   sustain  re-runs each receiver's highest lossless point with SUSTAIN_N
#            messages (10x longer) to check that it holds; if it does not,
#            bisects downwards (SUSTAIN_POINTS rates at most; sustained.csv)
# Then prints the summary (bench/summarize.py) and leaves everything in
# RESULTS_DIR.  Phases can be re-run into an existing RESULTS_DIR.
#
# Environment knobs (defaults in brackets):
#   WORK [/tmp/syslog-bench]  scratch: unpacked packages, binaries, run dirs
#   RESULTS_DIR [bench/peers/results/<UTC timestamp>]
#   N [200000] REPS [3] RATES ["25000 50000 100000 200000 400000 0"] (0 = max)
#   PORT [15514] RCVBUF [4194304] (bytes requested by every receiver; also
#   written to net.core.rmem_max for the ladder; the kernel doubles it)
#   PHASES ["ladder refine burst sustain"] REFINE [2] SUSTAIN_N [2000000]
#   SUSTAIN_POINTS [3]
#   BURST_N [200000] BURST_RCVBUF [134217728]
#   SETTLE [2] (s without output growth that ends a run)  SKIP_INSTALL [0]
#   EXTRA_RX_NAME [extra] EXTRA_RX_CMD EXTRA_RX_OUT EXTRA_RX_COUNT [lines]
#   EXTRA_RX_PRE  (placeholders in EXTRA_RX_CMD: {PORT} {OUT} {RCVBUF})
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export WORK="${WORK:-/tmp/syslog-bench}"
STAMP="$(date -u +%Y%m%d-%H%M%S)"
RESULTS_DIR="${RESULTS_DIR:-$HERE/results/$STAMP}"
N="${N:-200000}"
REPS="${REPS:-3}"
RATES="${RATES:-25000 50000 100000 200000 400000 0}"
PORT="${PORT:-15514}"
RCVBUF="${RCVBUF:-4194304}"
REFINE="${REFINE:-2}"
PHASES="${PHASES:-ladder refine burst sustain}"
SUSTAIN_N="${SUSTAIN_N:-2000000}"
SUSTAIN_POINTS="${SUSTAIN_POINTS:-3}"
BURST_N="${BURST_N:-200000}"
BURST_RCVBUF="${BURST_RCVBUF:-134217728}"
SETTLE="${SETTLE:-2}"
SKIP_INSTALL="${SKIP_INSTALL:-0}"
EXTRA_RX_NAME="${EXTRA_RX_NAME:-extra}"
EXTRA_RX_CMD="${EXTRA_RX_CMD:-}"
EXTRA_RX_OUT="${EXTRA_RX_OUT:-$WORK/run/$EXTRA_RX_NAME/out.log}"
EXTRA_RX_COUNT="${EXTRA_RX_COUNT:-lines}"
EXTRA_RX_PRE="${EXTRA_RX_PRE:-}"
DEFAULT_RX="null naive naive-keepopen rsyslog syslog-ng"
[ -n "$EXTRA_RX_CMD" ] && DEFAULT_RX="$DEFAULT_RX $EXTRA_RX_NAME"
RECEIVERS="${RECEIVERS:-$DEFAULT_RX}"

ROOT="$WORK/root"          # Debian packages unpacked here (not installed)
BIN="$WORK/bin"
RUN="$WORK/run"
CSV="$RESULTS_DIR/runs.csv"
SUSTAIN_CSV="$RESULTS_DIR/sustained.csv"
has_phase() { case " $PHASES " in *" $1 "*) return 0 ;; esac; return 1; }
LOGDIR="$WORK/logs/$STAMP"

log() { printf '\n=== %s ===\n' "$*" >&2; }
[ "$(id -u)" = 0 ] || { echo "run as root (sysctl, apt-get)" >&2; exit 1; }

# ---------------------------------------------------------------- install
pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
apt_install_missing() {
    local missing=() p
    for p in "$@"; do pkg_installed "$p" || missing+=("$p"); done
    if [ "${#missing[@]}" -gt 0 ]; then
        log "apt-get install ${missing[*]}"
        DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" >&2
    fi
}
if [ "$SKIP_INSTALL" != 1 ]; then
    if ! apt-cache show rsyslog syslog-ng-core >/dev/null 2>&1; then
        log "apt-get update"; apt-get update >&2
    fi
    apt_install_missing gcc g++ libc6-dev iproute2 procps python3
    # rsyslog and syslog-ng-core Conflict with each other (both provide
    # system-log-daemon) and their maintainer scripts would set up the system
    # logger.  So: fetch the .debs with apt-get and unpack them privately into
    # $ROOT; install only their runtime library dependencies.
    mkdir -p "$WORK/debs" "$ROOT"
    if ! ls "$WORK"/debs/rsyslog_*.deb "$WORK"/debs/syslog-ng-core_*.deb >/dev/null 2>&1; then
        log "apt-get download rsyslog syslog-ng-core"
        (cd "$WORK/debs" && apt-get download rsyslog syslog-ng-core >&2)
    fi
    deps=()
    for deb in "$WORK"/debs/rsyslog_*.deb "$WORK"/debs/syslog-ng-core_*.deb; do
        # first alternative of every Depends entry, version constraint stripped
        while read -r d; do [ -n "$d" ] && deps+=("$d"); done < <(
            dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/|.*//; s/(.*)//; s/:any//; s/[[:space:]]//g')
        dpkg-deb -x "$deb" "$ROOT"
    done
    apt_install_missing "${deps[@]}"
fi
RSYSLOGD="$ROOT/usr/sbin/rsyslogd"
RSYSLOG_MODDIR="$ROOT/usr/lib/x86_64-linux-gnu/rsyslog"
SYSLOGNG="$ROOT/usr/sbin/syslog-ng"
SNG_LIB="$ROOT/usr/lib/syslog-ng"
SNG_MODDIR="$(ls -d "$SNG_LIB"/3.* 2>/dev/null | head -1)"

# ---------------------------------------------------------------- build
log "build"
mkdir -p "$BIN"
cc -O2 -Wall -o "$BIN/sender" "$HERE/sender.c"
cc -O2 -Wall -o "$BIN/nullrecv" "$HERE/nullrecv.c"
c++ -O2 -std=c++17 -Wall -o "$BIN/naive_recv" "$HERE/naive_recv.cpp"

# ---------------------------------------------------------------- versions
mkdir -p "$RESULTS_DIR" "$LOGDIR"
{
    echo "date_utc: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "host: $(uname -srm); $(. /etc/os-release && echo "$PRETTY_NAME")"
    echo "cpu: $(nproc) x $(awk -F': ' '/model name/{print $2; exit}' /proc/cpuinfo); mem: $(awk '/MemTotal/{print $2" kB"}' /proc/meminfo)"
    for deb in "$WORK"/debs/*.deb; do echo "package: $(dpkg-deb -f "$deb" Package) $(dpkg-deb -f "$deb" Version)"; done
    echo "rsyslogd: $("$RSYSLOGD" -v 2>&1 | head -1)"
    echo "syslog-ng: $(LD_LIBRARY_PATH="$SNG_LIB" "$SYSLOGNG" --module-path="$SNG_MODDIR" --version 2>&1 | head -3 | tr '\n' ' ')"
    echo "compiler: $(cc --version | head -1)"
    echo "fs of $WORK: $(df -T "$WORK" | awk 'NR==2{print $2" on "$1}')"
    echo "N=$N REPS=$REPS RATES='$RATES' PORT=$PORT RCVBUF=$RCVBUF (SO_RCVBUF requested; effective = 2x) SETTLE=$SETTLE"
    echo "PHASES='$PHASES' REFINE=$REFINE BURST_N=$BURST_N BURST_RCVBUF=$BURST_RCVBUF SUSTAIN_N=$SUSTAIN_N SUSTAIN_POINTS=$SUSTAIN_POINTS"
    echo "receivers: $RECEIVERS"
} | tee -a "$RESULTS_DIR/versions.txt" >&2

# ---------------------------------------------------------------- sysctl
OLD_RMEM_MAX="$(sysctl -n net.core.rmem_max)"
restore() { sysctl -q -w net.core.rmem_max="$OLD_RMEM_MAX" || true; }
trap restore EXIT
set_rmem() { sysctl -q -w net.core.rmem_max="$1"; echo "net.core.rmem_max=$(sysctl -n net.core.rmem_max)" >&2; }

# ---------------------------------------------------------------- receivers
# rx_def NAME RCVBUF TAG -> sets RX_CMD RX_OUT RX_COUNT RX_PRE
rx_def() {
    local name="$1" rb="$2" tag="$3" d="$RUN/$1-$3"
    mkdir -p "$d"
    RX_OUT="$d/out.log" RX_COUNT=lines RX_PRE=""
    case "$name" in
    null)
        RX_OUT="$d/count" RX_COUNT=number
        RX_CMD="$BIN/nullrecv -p {PORT} -o {OUT} -B $rb" ;;
    naive)
        RX_CMD="$BIN/naive_recv -p {PORT} -o {OUT} -B $rb" ;;
    naive-keepopen)
        RX_CMD="$BIN/naive_recv -k -p {PORT} -o {OUT} -B $rb" ;;
    rsyslog)
        mkdir -p "$d/work"
        sed -e "s|@PORT@|$PORT|g" -e "s|@OUT@|$RX_OUT|g" -e "s|@WORKDIR@|$d/work|g" -e "s|@RCVBUF@|$rb|g" \
            "$HERE/conf/rsyslog.conf.in" >"$d/rsyslog.conf"
        RX_PRE="rm -rf '$d/work' && mkdir -p '$d/work'"
        RX_CMD="$RSYSLOGD -n -f $d/rsyslog.conf -i $d/rsyslog.pid -M $RSYSLOG_MODDIR" ;;
    syslog-ng)
        sed -e "s|@PORT@|$PORT|g" -e "s|@OUT@|$RX_OUT|g" -e "s|@RCVBUF@|$rb|g" \
            "$HERE/conf/syslog-ng.conf.in" >"$d/syslog-ng.conf"
        RX_PRE="rm -f '$d/syslog-ng.persist'"
        RX_CMD="env LD_LIBRARY_PATH=$SNG_LIB $SYSLOGNG --module-path=$SNG_MODDIR -F --no-caps -f $d/syslog-ng.conf -p $d/syslog-ng.pid -R $d/syslog-ng.persist -c $d/syslog-ng.ctl" ;;
    "$EXTRA_RX_NAME")
        [ -n "$EXTRA_RX_CMD" ] || { echo "EXTRA_RX_CMD not set" >&2; return 1; }
        RX_OUT="${EXTRA_RX_OUT}" RX_COUNT="$EXTRA_RX_COUNT" RX_PRE="$EXTRA_RX_PRE"
        RX_CMD="${EXTRA_RX_CMD//\{RCVBUF\}/$rb}" ;;
    *) echo "unknown receiver $name" >&2; return 1 ;;
    esac
}

run_rx() { # run_rx NAME MODE RCVBUF REP "RATES" N [CSV]
    local name="$1" mode="$2" rb="$3" rep="$4" rates="$5" n="$6" csv="${7:-$CSV}"
    rx_def "$name" "$rb" "$mode"
    "$HERE/harness.sh" --name "$name" --mode "$mode" --cmd "$RX_CMD" --out "$RX_OUT" --count "$RX_COUNT" \
        --pre "$RX_PRE" --port "$PORT" --rates "$rates" --n "$n" --reps 1 --rep-label "$rep" \
        --settle "$SETTLE" --csv "$csv" --logdir "$LOGDIR" --sender "$BIN/sender" >&2
}

# ---------------------------------------------------------------- 1) ladder
set_rmem "$RCVBUF"
if has_phase ladder; then
    for rep in $(seq "$REPS"); do
        for rx in $RECEIVERS; do
            log "ladder rep $rep/$REPS: $rx  rates: $RATES"
            run_rx "$rx" ladder "$RCVBUF" "$rep" "$RATES" "$N"
        done
    done
fi

# ---------------------------------------------------------------- 2) refine
has_phase refine || REFINE=0
for step in $(seq "$REFINE"); do
    for rx in $RECEIVERS; do
        mid="$(python3 "$HERE/summarize.py" --bisect "$rx" "$CSV" || true)"
        [ -n "$mid" ] || continue
        for rep in $(seq "$REPS"); do
            log "refine step $step: $rx at $mid msg/s (rep $rep/$REPS)"
            run_rx "$rx" ladder "$RCVBUF" "$rep" "$mid" "$N"
        done
    done
done

# ---------------------------------------------------------------- 3) burst
if has_phase burst; then
    set_rmem "$BURST_RCVBUF"
    for rep in $(seq "$REPS"); do
        for rx in $RECEIVERS; do
            log "burst rep $rep/$REPS: $rx"
            run_rx "$rx" burst "$BURST_RCVBUF" "$rep" 0 "$BURST_N"
        done
    done
    set_rmem "$RCVBUF"
fi

# ---------------------------------------------------------------- 4) sustain
if has_phase sustain; then
    # first the highest lossless ladder point; if that loses data with the
    # longer stream, bisect downwards (at most SUSTAIN_POINTS rates per receiver)
    for rx in $RECEIVERS; do
        while :; do
            nxt="$(python3 "$HERE/summarize.py" --sustain-next "$rx" "$CSV" "$SUSTAIN_CSV" "$SUSTAIN_POINTS" || true)"
            [ -n "$nxt" ] || break
            for rep in $(seq "$REPS"); do
                log "sustain: $rx at ${nxt} msg/s (0 = max) x $SUSTAIN_N msgs (rep $rep/$REPS)"
                run_rx "$rx" ladder "$RCVBUF" "$rep" "$nxt" "$SUSTAIN_N" "$SUSTAIN_CSV"
            done
        done
    done
fi

# ---------------------------------------------------------------- summary
SUMARGS=("$CSV" --versions "$RESULTS_DIR/versions.txt")
[ -s "$SUSTAIN_CSV" ] && SUMARGS+=(--sustained "$SUSTAIN_CSV")
python3 "$HERE/summarize.py" "${SUMARGS[@]}" | tee "$RESULTS_DIR/summary.md"
echo >&2
echo "results: $RESULTS_DIR (runs.csv, summary.md, versions.txt); receiver logs: $LOGDIR" >&2
