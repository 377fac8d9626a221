#!/bin/bash
# The packages' life on a Debian 12 system, in a chroot made from the package
# mirror (debian_chroot.sh), so that this machine's own Corvantel, platform
# root and syslog port are never touched:
#  1. install a previous build (these packages with a lower version) with apt,
#     which fetches their dependencies: the service is registered, has a first
#     rule base, its unit is enabled, every program finds its libraries;
#  2. run the service (as a container would: corvctl sc start, on a free
#     loopback port) and find a datagram in its log file;
#  3. upgrade to this build while it runs: settings, rule base and event log
#     stay; the new program, run by the unit's own command line as systemd
#     runs it, files the next datagram and stops on SIGTERM;
#  4. remove both packages: the service is stopped and unregistered, the
#     programs are gone, settings, events and logs stay;
#  5. install again: the settings and the rule base of before are back;
#  6. purge: the platform root, the logs and the unit's enablement are gone,
#     and nothing of Corvantel is left on the system.
# Without systemd in the chroot the unit is enabled but not started, as
# Debian does in any chroot.
# usage (as root): deb_install_test.sh DEB_DIR CORVCTL
#   DEB_DIR: scripts/package.sh's build-deb; CORVCTL: a corvctl of the build,
#   to read the chroot's registry once its own corvctl is removed.
set -u
if [ -z "${CORVANTEL_IN_NAMESPACE:-}" ]; then
  # A mount namespace of our own: the chroot's /proc goes with it.
  exec unshare --mount --propagation private --fork env CORVANTEL_IN_NAMESPACE=1 "$0" "$@"
fi
debs=$(realpath "$1")
host_corvctl=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
step() { echo "-- $*"; }
started=$SECONDS

bash "$here/debian_chroot.sh" prepare || exit 1
base=$(bash "$here/debian_chroot.sh" path)
tmp=$(mktemp -d)
root=$tmp/root

cleanup() {
  # A service still running in the chroot (a failed step) ends with the test.
  for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -KILL "${proc#/proc/}" 2>/dev/null
  done
  umount "$root/proc" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT

cp -a "$base" "$root"
mount -t proc proc "$root/proc"
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LANG=C.UTF-8 "$@"
}
apt_in_root() {
  in_root apt-get -o Dpkg::Use-Pty=0 -qq -y --no-install-recommends "$@" >"$tmp/apt.log" 2>&1 || {
    cat "$tmp/apt.log" >&2
    fail "apt-get $*"
    return 1
  }
}
# The chroot's registry read from outside, by the build's corvctl.
outside() { CORVANTEL_ROOT=$root/var/lib/corvantel "$host_corvctl" "$@"; }

service='HKLM\SYSTEM\CurrentControlSet\Services\TolvaneCorvantel'
params="$service\\Parameters"
version=$(dpkg-deb -f "$debs"/corvantel_*.deb Version)
arch=$(dpkg --print-architecture)

# The previous build: these packages with a lower version.
previous=$version~previous
mkdir -p "$root/tmp/new" "$root/tmp/previous"
cp "$debs"/corvantel_*.deb "$debs"/corvantel-client_*.deb "$root/tmp/new/"
for deb in "$root"/tmp/new/*.deb; do
  name=$(dpkg-deb -f "$deb" Package)
  dpkg-deb -R "$deb" "$tmp/unpacked"
  sed -i -e "s/^Version: .*/Version: $previous/" -e "s/(= $version)/(= $previous)/g" "$tmp/unpacked/DEBIAN/control"
  dpkg-deb -Zgzip -b "$tmp/unpacked" "$root/tmp/previous/${name}_${previous}.deb" >/dev/null
  rm -rf "$tmp/unpacked"
done

installed_version() { in_root dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null; }
# A datagram sent to the chroot's service is filed in today's log file there.
datagram_filed() {
  local text="deb_install_test $1 $RANDOM$RANDOM" log
  log=$root/var/log/corvantel/Corvantel-$(in_root date +%Y-%m-%d).log
  logger --udp --server 127.0.0.1 --port "$port" --rfc3164 --priority user.notice --tag test "$text"
  for _ in $(seq 50); do
    grep -qF "$text" "$log" 2>/dev/null && return 0
    sleep 0.1
  done
  fail "$1: the datagram did not reach $log"
  in_root corvctl events --source TolvaneCorvantel | tail -n 20 >&2
}
free_udp_port() {
  python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# A process that ended but was not yet reaped by its parent counts as ended.
running() {
  local state
  state=$(ps -o stat= -p "$1" 2>/dev/null) && [[ $state != Z* ]]
}
service_pid() { sed -n 's/^pid=//p' "$root/var/lib/corvantel/services/tolvanecorvantel/status" 2>/dev/null; }
settings_kept() {  # settings_kept STEP: the values set in step 2
  [ "$(outside reg get "$params" nSyslogPort 2>&1)" = "$port" ] || fail "$1: nSyslogPort was not kept"
  [ "$(outside reg get "$params" nKeepDays 2>&1)" = 30 ] || fail "$1: nKeepDays was not kept"
  [ "$(outside reg get "$params\\Rules" R1RuleName 2>&1)" = "Kept rule" ] || fail "$1: the rule base was not kept"
}

step "1. install the previous build ($previous) with apt"
apt_in_root install /tmp/previous/corvantel_"$previous".deb /tmp/previous/corvantel-client_"$previous".deb || exit 1
[ "$(installed_version corvantel)" = "install ok installed $previous" ] || fail "corvantel $previous is not installed"
in_root corvantd -v | grep -q 'currently installed' || fail "the service was not registered"
[ "$(outside reg get "$service" ImagePath)" = /usr/bin/corvantd ] || fail "the service does not run /usr/bin/corvantd"
[ "$(in_root corvctl reg get "$params\\Rules" nRuleCount)" = 1 ] || fail "no first rule base"
[ "$(readlink "$root/etc/systemd/system/multi-user.target.wants/corvantel.service")" = \
  /lib/systemd/system/corvantel.service ] || fail "the unit was not enabled"
for program in /usr/bin/corvantd /usr/bin/corvctl /usr/bin/CorvantelClient; do
  missing=$(in_root ldd "$program" | grep 'not found')
  [ -z "$missing" ] || fail "$program lacks libraries its package does not depend on: $missing"
done
for file in /usr/share/man/man8/corvctl.8.gz /usr/share/man/man8/corvantd.8.gz \
  /usr/share/man/man1/CorvantelClient.1.gz /usr/share/applications/corvantel-client.desktop \
  /usr/share/polkit-1/actions/example.tolvane.corvantel.client.policy; do
  [ -f "$root$file" ] || fail "$file was not installed"
done

step "2. run the service on a free loopback port"
port=$(free_udp_port)
in_root corvctl reg add "$params" nSyslogPort REG_DWORD "$port" >/dev/null
in_root corvctl reg add "$params" nKeepDays REG_DWORD 30 >/dev/null
in_root corvctl reg add "$params\\Rules" R1RuleName REG_SZ "Kept rule" >/dev/null
in_root corvctl sc start TolvaneCorvantel >/dev/null || fail "the service did not start"
datagram_filed "before the upgrade"
events_before=$(in_root corvctl events --json | wc -l)

step "3. upgrade to this build ($version) while the service runs"
apt_in_root install /tmp/new/corvantel_"${version}_$arch".deb /tmp/new/corvantel-client_"${version}_$arch".deb
[ "$(installed_version corvantel)" = "install ok installed $version" ] || fail "corvantel $version is not installed"
[ "$(installed_version corvantel-client)" = "install ok installed $version" ] ||
  fail "corvantel-client $version is not installed"
settings_kept "upgrade"
[ "$(in_root corvctl events --json | wc -l)" -ge "$events_before" ] || fail "the upgrade lost events"
in_root corvctl sc query TolvaneCorvantel | grep -q RUNNING || fail "the upgrade stopped the service"
in_root corvctl sc stop TolvaneCorvantel >/dev/null || fail "the service did not stop"
# The unit's command, as systemd runs it: corvctl becomes the daemon (the same
# process), and SIGTERM is its stop.
exec_start=$(sed -n 's/^ExecStart=//p' "$root/lib/systemd/system/corvantel.service")
# shellcheck disable=SC2086 # the command line is split as systemd splits it
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin $exec_start &
unit_pid=$!
in_root corvctl sc query TolvaneCorvantel >"$tmp/query" 2>&1
for _ in $(seq 50); do
  grep -q RUNNING "$tmp/query" && break
  sleep 0.1
  in_root corvctl sc query TolvaneCorvantel >"$tmp/query" 2>&1
done
datagram_filed "after the upgrade, run by the unit's command"
[ "$(ps -o comm= -p "$unit_pid")" = corvantd ] || fail "the unit's command did not become corvantd"
kill -TERM "$unit_pid"
wait "$unit_pid"
unit_status=$?
[ "$unit_status" = 0 ] || fail "the service run by the unit's command ended with $unit_status on SIGTERM"
in_root corvctl sc start TolvaneCorvantel >/dev/null || fail "the service did not start again"
pid=$(service_pid)

step "4. remove both packages"
apt_in_root remove corvantel-client corvantel
[[ $(installed_version corvantel) == "deinstall ok config-files"* ]] || fail "corvantel is not removed"
[ -n "$pid" ] && running "$pid" && fail "the service (process $pid) still runs"
outside sc query TolvaneCorvantel >/dev/null 2>&1 && fail "the service is still registered"
for file in /usr/bin/corvantd /usr/bin/corvctl /usr/bin/CorvantelClient /usr/share/man/man8/corvctl.8.gz; do
  [ -e "$root$file" ] && fail "$file is still there"
done
for file in /var/lib/corvantel/machine.hive /var/lib/corvantel/eventlog.db \
  /var/lib/corvantel/settings-kept-at-removal.reg; do
  [ -f "$root$file" ] || fail "the removal deleted $file"
done
ls "$root"/var/log/corvantel/Corvantel-*.log >/dev/null 2>&1 || fail "the removal deleted the log files"

step "5. install again: the settings of before come back"
apt_in_root install /tmp/new/corvantel_"${version}_$arch".deb
outside sc query TolvaneCorvantel >/dev/null 2>&1 || fail "the service was not registered again"
settings_kept "reinstall"
[ -e "$root/var/lib/corvantel/settings-kept-at-removal.reg" ] && fail "the kept settings were not taken back"

step "6. purge"
apt_in_root purge corvantel corvantel-client
[ -z "$(installed_version corvantel)" ] || [[ $(installed_version corvantel) == "unknown ok not-installed"* ]] ||
  fail "corvantel is not purged: $(installed_version corvantel)"
for path in /var/lib/corvantel /var/log/corvantel /etc/systemd/system/multi-user.target.wants/corvantel.service; do
  [ -e "$root$path" ] || [ -L "$root$path" ] && fail "the purge left $path"
done
left=$(cd "$root" && find . \( -path ./proc -o -path ./tmp -o -path ./var/cache/apt \) -prune -o \
  -ipath '*corvantel*' -print | head)
[ -z "$left" ] || fail "the purge left: $left"

if [ "$failures" -eq 0 ]; then
  echo "package life (install, upgrade, remove, reinstall, purge): every check passed in $((SECONDS - started)) s"
fi
exit $((failures > 0))
