#!/usr/bin/env bash
# Registers the system data source "Corvantel" (or the name given as the first
# argument) on the SQLite ODBC driver, pointing at $CORVANTEL_ROOT/corvantel.db
# (default /var/lib/corvantel/corvantel.db), and creates the Syslog table in
# that file. Safe to run again: the data source is replaced, the table kept.
#
# The driver manager's system files are /etc/odbcinst.ini and /etc/odbc.ini,
# or those in $ODBCSYSINI when it is set. The service reads system data
# sources only, never a user's ~/.odbc.ini.
set -euo pipefail

dsn=${1:-Corvantel}
root=${CORVANTEL_ROOT:-/var/lib/corvantel}
db=$root/corvantel.db
driver_lib=/usr/lib/x86_64-linux-gnu/odbc/libsqlite3odbc.so
here=$(cd "$(dirname "$0")" && pwd)

for tool in odbcinst sqlite3; do
  command -v "$tool" >/dev/null || { echo "setup-sqlite-dsn.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done
[ -e "$driver_lib" ] || { echo "setup-sqlite-dsn.sh: $driver_lib is missing (package libsqliteodbc)" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# The driver: libsqliteodbc registers "SQLite3" itself; register it when a
# system (or $ODBCSYSINI) lacks it.
if ! odbcinst -q -d -n SQLite3 >/dev/null 2>&1; then
  printf '[SQLite3]\nDescription = SQLite3 ODBC Driver\nDriver = %s\nSetup = %s\n' \
    "$driver_lib" "$driver_lib" >"$tmp/driver.ini"
  odbcinst -i -d -f "$tmp/driver.ini" >/dev/null
fi

# The data source, replaced when present. Timeout: milliseconds to wait for a
# reader or another writer of the file before an insert fails.
# odbcinst writes into an existing odbc.ini only.
touch "${ODBCSYSINI:-/etc}/odbc.ini"
odbcinst -u -s -l -n "$dsn" >/dev/null 2>&1 || true
printf '[%s]\nDescription = Corvantel syslog messages\nDriver = SQLite3\nDatabase = %s\nTimeout = 5000\n' \
  "$dsn" "$db" >"$tmp/dsn.ini"
odbcinst -i -s -l -f "$tmp/dsn.ini" >/dev/null

mkdir -p "$root"
sqlite3 "$db" <"$here/sql/sqlite.sql"
# The service writes the file; keep it as private as the registry hive.
chmod 0600 "$db"

echo "data source $dsn: $db (table Syslog)"
