#!/bin/bash
# What the two packages hold and declare: their version is the programs'
# version resource; the service package has the programs, the unit, the
# manual pages and the first set-up files and no Qt; the client package has
# the client, its launcher, menu entry, icons, polkit action, manual page and
# help pages; the unit, menu entry and policy name the packaged programs; the
# unit is enabled, started and stopped by the maintainer scripts.
# usage: deb_contents_test.sh DEB_DIR (scripts/package.sh's build-deb)
set -u
dir=$1
top=$(cd "$(dirname "$0")/../.." && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# 3,70,0,124 in the version resource is the Debian version 3.70.0.124.
version=$(sed -n 's/^ *FILEVERSION *\([0-9]*\),\([0-9]*\),\([0-9]*\),\([0-9]*\).*/\1.\2.\3.\4/p' \
  "$top/daemon/service/corvantd.rc")
changelog_version=$(dpkg-parsechangelog -l "$top/debian/changelog" -S Version)
[ "$version" = "$changelog_version" ] ||
  fail "debian/changelog has version $changelog_version, the version resource $version"

arch=$(dpkg --print-architecture)
server=$dir/corvantel_${version}_$arch.deb
client=$dir/corvantel-client_${version}_$arch.deb
for deb in "$server" "$client"; do
  [ -f "$deb" ] || { fail "$deb was not built"; exit 1; }
done
[ "$(find "$dir" -maxdepth 1 -name '*.deb' | wc -l)" = 2 ] ||
  fail "build-deb holds other packages than the two: $(ls "$dir"/*.deb)"

field() { dpkg-deb -f "$1" "$2"; }
contents() { dpkg-deb -c "$1" | awk '{print $1, $NF}' | sed 's, \./, /,'; }
has() {  # has DEB PATH [MODE-PREFIX]
  local line
  line=$(contents "$1" | awk -v p="$2" '$2 == p || $2 == p "/"')
  [ -n "$line" ] || { fail "$(basename "$1") lacks $2"; return; }
  [ -z "${3:-}" ] || [[ $line == "$3"* ]] || fail "$(basename "$1"): $2 is $line, expected mode $3"
}
extract() { dpkg-deb --fsys-tarfile "$1" | tar -xO ".$2"; }

# The service package.
for path in /usr/bin/corvantd /usr/bin/corvctl /usr/share/corvantel/setup-sqlite-dsn.sh; do
  has "$server" "$path" -rwxr-xr-x
done
for path in /lib/systemd/system/corvantel.service /usr/share/man/man8/corvantd.8.gz \
  /usr/share/man/man8/corvctl.8.gz /usr/share/corvantel/first-rulebase.reg \
  /usr/share/corvantel/sql/sqlite.sql /usr/share/corvantel/sql/postgresql.sql \
  /usr/share/doc/corvantel/copyright /usr/share/doc/corvantel/changelog.gz /var/log/corvantel; do
  has "$server" "$path"
done
contents "$server" | grep -q 'CorvantelClient\|/usr/share/applications' && fail "the service package holds client files"
depends=$(field "$server" Depends)
for lib in libc6 libsqlite3-0 libodbc2; do
  [[ $depends == *"$lib"* ]] || fail "corvantel does not depend on $lib: $depends"
done
[[ $depends == *qt6* || $depends == *libx11* ]] && fail "corvantel pulls in a desktop: $depends"
[[ $(field "$server" Recommends) == *libsqliteodbc* ]] || fail "corvantel does not recommend the SQLite ODBC driver"
[[ $(field "$server" Suggests) == *odbc-postgresql* ]] || fail "corvantel does not suggest PostgreSQL's driver"
unit=$(extract "$server" /lib/systemd/system/corvantel.service)
grep -qx 'ExecStart=/usr/bin/corvctl sc run TolvaneCorvantel' <<<"$unit" ||
  fail "the unit does not run the packaged corvctl: $(grep ExecStart <<<"$unit")"
grep -qx 'WantedBy=multi-user.target' <<<"$unit" || fail "the unit is not wanted by multi-user.target"

# The unit's part of the maintainer scripts (what the service's own part
# does is tried out by deb_install_test.sh).
dpkg-deb -e "$server" "$tmp/server"
grep -q 'deb-systemd-helper enable' "$tmp/server/postinst" || fail "the postinst does not enable the unit"
grep -q 'deb-systemd-invoke' "$tmp/server/postinst" || fail "the postinst does not start the unit"
grep -q 'deb-systemd-invoke stop' "$tmp/server/prerm" || fail "the prerm does not stop the unit"

# The client package.
for path in /usr/bin/CorvantelClient /usr/libexec/corvantel/client-launcher; do
  has "$client" "$path" -rwxr-xr-x
done
for path in /usr/share/applications/corvantel-client.desktop \
  /usr/share/polkit-1/actions/example.tolvane.corvantel.client.policy \
  /usr/share/icons/hicolor/scalable/apps/corvantel.svg /usr/share/man/man1/CorvantelClient.1.gz \
  /usr/share/corvantel/manual/index.html /usr/share/corvantel/docs/index.html \
  /usr/share/doc/corvantel-client/copyright; do
  has "$client" "$path"
done
for size in 16 22 24 32 48 64 128 256; do
  has "$client" "/usr/share/icons/hicolor/${size}x${size}/apps/corvantel.png"
done
[[ $(field "$client" Depends) == *libqt6widgets6* ]] || fail "corvantel-client does not depend on Qt's widgets"
recommends=$(field "$client" Recommends)
[[ $recommends == *"corvantel (= $version)"* ]] || fail "corvantel-client does not recommend its service: $recommends"
[[ $recommends == *pkexec* ]] || fail "corvantel-client does not recommend pkexec: $recommends"
extract "$client" /usr/share/applications/corvantel-client.desktop >"$tmp/corvantel-client.desktop"
grep -qx 'Exec=/usr/libexec/corvantel/client-launcher' "$tmp/corvantel-client.desktop" ||
  fail "the menu entry does not run the packaged launcher"
desktop-file-validate "$tmp/corvantel-client.desktop" || fail "desktop-file-validate"
extract "$client" /usr/share/polkit-1/actions/example.tolvane.corvantel.client.policy |
  grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/bin/CorvantelClient</annotate>' ||
  fail "the polkit action does not name the packaged client"
extract "$client" /usr/libexec/corvantel/client-launcher | grep -qx "client='/usr/bin/CorvantelClient'" ||
  fail "the launcher does not start the packaged client"

if [ "$failures" -eq 0 ]; then echo "package contents: every check passed"; fi
exit $((failures > 0))
