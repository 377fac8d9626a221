#!/usr/bin/env bash
# Installs every Debian package that building, running and testing Corvantel
# needs. Run as root on Debian 12. Safe to run again.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  # tests and fuzzing: GoogleTest, clang with the sanitizer and libFuzzer runtimes
  libgtest-dev libgmock-dev clang libclang-rt-14-dev
  # platform layer: registry hives and event log on SQLite; the queue's spool
  # checksums its records with zlib
  libsqlite3-dev sqlite3 zlib1g-dev
  # /etc/services for the syslog port, logger(1) for sending test messages
  netbase bsdutils
  # scripts
  python3 procps
  # database action: the ODBC driver manager, the SQLite driver (the embedded
  # default) and PostgreSQL's driver with a real server for the tests
  unixodbc unixodbc-dev odbcinst libsqliteodbc odbc-postgresql postgresql
  # the forwarding and mail tests' real peers: a syslog server and an SMTP server
  rsyslog python3-aiosmtpd
  # the database benchmark's peer: rsyslog's PostgreSQL output (ompgsql); what
  # its installer sets up (dbconfig-common, /etc/rsyslog.d/pgsql.conf) is for
  # the system logger, which nothing here runs: the benchmark's rsyslogd has a
  # configuration of its own
  rsyslog-pgsql
  # syslog over TLS: OpenSSL, and rsyslog's TLS driver and openssl(1) as the
  # tests' senders
  libssl-dev openssl rsyslog-openssl
  # the client: Qt 6 Widgets (window tests run on its offscreen platform), a
  # Western and a Japanese font, and xdg-open for the manual and web pages
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev fonts-dejavu-core fonts-ipafont-gothic xdg-utils
  # the Help menu's pages, made from docs/*.md into HTML at build time
  python3-markdown
  # remote administration: a real sshd that the platform test starts on loopback
  # itself (without an init system, as in a container, installing it starts no
  # service), and avahi-browse for the client's list of computers on the network
  openssh-server avahi-utils
  # the Debian packages (scripts/package.sh): debhelper builds them, scdoc makes
  # the manual pages, rsvg-convert the icon's PNG sizes; lintian,
  # desktop-file-validate and xmllint check them; debootstrap makes the chroot
  # in which the test installs, upgrades, removes and purges them
  debhelper scdoc librsvg2-bin lintian desktop-file-utils libxml2-utils debootstrap
)

if [ "$(id -u)" -ne 0 ]; then
  echo "setup.sh: run as root (it installs packages with apt-get)" >&2
  exit 1
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
