#!/bin/bash
# The client's desktop integration as installed: `cmake --install` into a
# temporary prefix, then the menu entry (desktop-file-validate), the polkit
# action (well-formed, naming that prefix's client, keeping the display), the
# icon in every size, and the launcher's ways: through pkexec, and straight to
# the client when pkexec is missing, refused or dismissed, or when already
# root.
# usage: desktop_test.sh BUILD_DIR
set -u
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 || {
  cat "$tmp/install.log" >&2
  fail "cmake --install failed"
  exit 1
}

desktop=$prefix/share/applications/corvantel-client.desktop
policy=$prefix/share/polkit-1/actions/example.tolvane.corvantel.client.policy
launcher=$prefix/libexec/corvantel/client-launcher

# The menu entry.
desktop-file-validate "$desktop" >"$tmp/validate" 2>&1 || fail "desktop-file-validate: $(cat "$tmp/validate")"
[ -s "$tmp/validate" ] && fail "desktop-file-validate has remarks: $(cat "$tmp/validate")"
grep -qx "Exec=$launcher" "$desktop" || fail "the menu entry does not run $launcher: $(grep ^Exec "$desktop")"
grep -qx "Icon=corvantel" "$desktop" || fail "the menu entry has no icon corvantel"
[ -x "$launcher" ] || fail "$launcher is not an executable file"

# The polkit action.
xmllint --noout "$policy" 2>"$tmp/xml" || fail "the policy is not well-formed: $(cat "$tmp/xml")"
python3 - "$policy" "$prefix/bin/CorvantelClient" <<'PY' || fail "the polkit action is not as pkexec needs it"
import sys, xml.etree.ElementTree as ET
action = ET.parse(sys.argv[1]).getroot().find("action")
assert action.get("id") == "example.tolvane.corvantel.client", action.get("id")
notes = {a.get("key"): a.text for a in action.findall("annotate")}
assert notes["org.freedesktop.policykit.exec.path"] == sys.argv[2], notes
assert notes["org.freedesktop.policykit.exec.allow_gui"] == "true", notes
defaults = action.find("defaults")
assert defaults.find("allow_active").text.startswith("auth_admin"), "only an administrator may"
assert defaults.find("allow_any").text.startswith("auth_admin")
PY

# The icon: the SVG and each PNG at its size.
[ -s "$prefix/share/icons/hicolor/scalable/apps/corvantel.svg" ] || fail "no scalable icon"
for size in 16 22 24 32 48 64 128 256; do
  png=$prefix/share/icons/hicolor/${size}x${size}/apps/corvantel.png
  python3 - "$png" "$size" <<'PY' || fail "$png is not a ${size}x${size} PNG"
import struct, sys
data = open(sys.argv[1], "rb").read(24)
assert data[:8] == b"\x89PNG\r\n\x1a\n"
assert struct.unpack(">II", data[16:24]) == (int(sys.argv[2]),) * 2
PY
done

# The launcher, with a client that records how it was started, and stand-ins
# for pkexec and id.
mkdir -p "$tmp/bin"
cat >"$prefix/bin/CorvantelClient" <<CLIENT
#!/bin/sh
echo "client \${PKEXEC_RAN:-direct} \$*" >>"$tmp/runs"
exit 3
CLIENT
chmod +x "$prefix/bin/CorvantelClient"
cat >"$tmp/bin/pkexec" <<'PKEXEC'
#!/bin/sh
echo "pkexec $*" >>"$RUNS"
[ "$PKEXEC_STATUS" = 0 ] || exit "$PKEXEC_STATUS"
PKEXEC_RAN=pkexec exec "$@"
PKEXEC
cat >"$tmp/bin/id" <<'ID'
#!/bin/sh
echo "$FAKE_UID"
ID
chmod +x "$tmp/bin/pkexec" "$tmp/bin/id"
client=$prefix/bin/CorvantelClient

# launch UID PKEXEC_STATUS WANT_STATUS EXPECTED_RUNS [PATH]
launch() {
  local uid=$1 pkexec_status=$2 want=$3 expected=$4 path=${5:-$tmp/bin:/usr/bin:/bin}
  rm -f "$tmp/runs"
  RUNS=$tmp/runs FAKE_UID=$uid PKEXEC_STATUS=$pkexec_status PATH=$path "$launcher" --lang de
  local got=$?
  [ "$got" = "$want" ] || fail "uid $uid, pkexec $pkexec_status: the launcher exited $got, expected $want"
  [ "$(cat "$tmp/runs" 2>/dev/null)" = "$expected" ] ||
    fail "uid $uid, pkexec $pkexec_status: ran '$(cat "$tmp/runs" 2>/dev/null)', expected '$expected'"
}
nl=$'\n'
launch 1000 0 3 "pkexec $client --lang de${nl}client pkexec --lang de"
launch 1000 126 3 "pkexec $client --lang de${nl}client direct --lang de"  # dismissed
launch 1000 127 3 "pkexec $client --lang de${nl}client direct --lang de"  # refused, or no agent
launch 0 0 3 "client direct --lang de"                                    # root already
mkdir -p "$tmp/nopkexec" && cp "$tmp/bin/id" "$tmp/nopkexec/"
launch 1000 0 3 "client direct --lang de" "$tmp/nopkexec" # no pkexec

if [ "$failures" -eq 0 ]; then echo "desktop integration: every check passed"; fi
exit $((failures > 0))
