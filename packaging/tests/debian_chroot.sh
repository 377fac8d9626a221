#!/bin/bash
# A minimal Debian 12 system for installing the packages into, made with
# debootstrap from the package mirror and kept between runs:
#   debian_chroot.sh prepare   make it unless a fresh one is kept (as root)
#   debian_chroot.sh path      print the folder of the kept system
#
# It lives in $CORVANTEL_CHROOT_CACHE (default /var/cache/corvantel-tests),
# is made anew after a week or when the recipe below changes, and is never
# changed by a test: a test copies it. Besides the base system it holds apt's
# package lists and, downloaded but not installed, the libraries the packages
# are expected to need (the Qt libraries above all), so that a test installs
# them from the local cache; apt still resolves every dependency from the
# packages' own fields, and fetches what this list lacks. Making it takes
# about three minutes on a 2-core machine; a kept one is ready at once.
set -euo pipefail

cache=${CORVANTEL_CHROOT_CACHE:-/var/cache/corvantel-tests}
mirror=${CORVANTEL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
suite=bookworm
base=$cache/$suite-minbase
warm=(libsqlite3-0 libodbc2 libltdl7 libqt6widgets6 libqt6network6 libqt6dbus6 libqt6gui6 libqt6core6
  libqt6xml6 init-system-helpers)
recipe="$suite $mirror minbase ${warm[*]}"
max_age_days=7

case "${1:-}" in
  path)
    echo "$base"
    exit 0
    ;;
  prepare) ;;
  *)
    echo "usage: debian_chroot.sh prepare|path" >&2
    exit 2
    ;;
esac

if [ "$(id -u)" -ne 0 ]; then
  echo "debian_chroot.sh: making a chroot needs root" >&2
  exit 1
fi

mkdir -p "$cache"
# One maker at a time; a second run waits for the first and takes its result.
exec 9>"$cache/lock"
flock 9

stamp=$base/.chroot-recipe
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ] &&
  [ -z "$(find "$stamp" -mtime +"$max_age_days")" ]; then
  exit 0
fi

started=$SECONDS
work=$(mktemp -d "$cache/making.XXXXXX")
trap 'rm -rf "$work"' EXIT
debootstrap --variant=minbase "$suite" "$work/root" "$mirror" >"$work/debootstrap.log" 2>&1 || {
  tail -n 30 "$work/debootstrap.log" >&2
  echo "debian_chroot.sh: debootstrap failed" >&2
  exit 1
}
# apt inside needs /proc; a mount namespace of its own keeps the mount from
# outliving the command.
unshare --mount --propagation private --fork bash -c '
  set -e
  root=$1
  shift
  mount -t proc proc "$root/proc"
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    sh -c "apt-get update -qq && apt-get install -qq --download-only --no-install-recommends -y $*"
' _ "$work/root" "${warm[@]}" >"$work/apt.log" 2>&1 || {
  tail -n 30 "$work/apt.log" >&2
  echo "debian_chroot.sh: preparing apt in the chroot failed" >&2
  exit 1
}
echo "$recipe" >"$work/root/.chroot-recipe"
rm -rf "$base"
mv "$work/root" "$base"
echo "debian_chroot.sh: made $base in $((SECONDS - started)) s"
