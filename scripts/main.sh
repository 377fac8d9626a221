#!/usr/bin/env bash
# Sets up the machine, builds Corvantel and runs its main job: for now the
# daemon's help and a round trip through the registry with corvctl.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/build.sh build >/dev/null
bin=$PWD/build

echo "== corvantd -h"
"$bin/daemon/corvantd" -h

corvctl=$bin/platform/tools/corvctl/corvctl
key='HKLM\SOFTWARE\Tolvane\Corvantel\QuickStart'
export_file=$(mktemp --suffix=.reg)
trap 'rm -f "$export_file"' EXIT

echo
echo "== corvctl: a registry round trip under $key (platform root ${CORVANTEL_ROOT:-/var/lib/corvantel})"
"$corvctl" reg add "$key" szGreeting REG_SZ "Grüße from Corvantel"
"$corvctl" reg add "$key" nSyslogPort REG_DWORD 514
"$corvctl" reg add "$key" szLogFolder REG_EXPAND_SZ '/var/log/corvantel'
"$corvctl" reg add "$key" szHosts REG_MULTI_SZ 'alpha\0beta'
"$corvctl" reg add "$key" bBlob REG_BINARY 00ff10
"$corvctl" reg query "$key"
"$corvctl" reg export "$key" "$export_file"
echo "-- exported:"
cat "$export_file"
"$corvctl" reg delete "$key"
echo "-- deleted; get now fails as it should:"
"$corvctl" reg get "$key" nSyslogPort || true
"$corvctl" reg import "$export_file"
echo "-- imported again: nSyslogPort = $("$corvctl" reg get "$key" nSyslogPort)"
"$corvctl" reg delete "$key"
