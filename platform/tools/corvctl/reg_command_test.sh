#!/bin/bash
# Black-box test of `corvctl reg` against a private platform root.
# usage: reg_command_test.sh PATH/TO/corvctl
set -u
corvctl=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export CORVANTEL_ROOT=$tmp/machine CORVANTEL_USER_ROOT=$tmp/user
failures=0

fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# expect STATUS CMD...: runs corvctl, checks the exit status; output in $tmp/out, $tmp/err.
expect() {
  local want=$1; shift
  "$corvctl" "$@" >"$tmp/out" 2>"$tmp/err"
  local got=$?
  [ "$got" = "$want" ] || fail "corvctl $* exited $got, expected $want: $(cat "$tmp/err")"
}

# get_is KEY NAME EXPECTED: `reg get` prints exactly EXPECTED.
get_is() {
  expect 0 reg get "$1" "$2"
  [ "$(cat "$tmp/out")" = "$3" ] || fail "reg get $1 $2 printed '$(cat "$tmp/out")', expected '$3'"
}

key='HKLM\Software\Tolvane\Corvantel Test'

# ---- every value type: add and get ----
expect 0 reg add "$key"
expect 0 reg add "$key" szText REG_SZ 'C:\Temp "quoted" é'
expect 0 reg add "$key" '' REG_SZ 'the default'
expect 0 reg add "$key" szExpand REG_EXPAND_SZ '%PATH%;x'
expect 0 reg add "$key" nPort REG_DWORD 514
expect 0 reg add "$key" nHex reg_dword 0x2A
expect 0 reg add "$key" nMinus REG_DWORD -1
expect 0 reg add "$key" qBig REG_QWORD 0x123456789
expect 0 reg add "$key" bin REG_BINARY 00ff10Ab
expect 0 reg add "$key" multi REG_MULTI_SZ 'one\0two words\0three'
expect 0 reg add "$key\\Sub\\Deeper" v REG_SZ deep
expect 0 reg add 'HKCU\Software\Corv' user REG_SZ mine

get_is "$key" szText 'C:\Temp "quoted" é'
get_is "$key" '' 'the default'
get_is "$key" SZEXPAND '%PATH%;x'
get_is "$key" nPort 514
get_is "$key" nHex 42
get_is "$key" nMinus 4294967295
get_is "$key" qBig 4886718345
get_is "$key" bin 00FF10AB
get_is "$key" multi $'one\ntwo words\nthree'
get_is 'hkey_current_user\software\corv' user mine

# ---- query lists values as reg.exe does, then subkeys ----
expect 0 reg query "$key"
grep -qxF '    nPort    REG_DWORD    0x202' "$tmp/out" || fail "query: no nPort line"
grep -qxF '    (Default)    REG_SZ    the default' "$tmp/out" || fail "query: no (Default) line"
grep -qxF '    multi    REG_MULTI_SZ    one\0two words\0three' "$tmp/out" || fail "query: no multi line"
grep -qxF 'HKEY_LOCAL_MACHINE\Software\Tolvane\Corvantel Test\Sub' "$tmp/out" || fail "query: no subkey line"
expect 0 reg query "$key" bin
grep -qxF '    bin    REG_BINARY    00FF10AB' "$tmp/out" || fail "query NAME: no bin line"

# ---- export, delete, import: the same key comes back ----
expect 0 reg export "$key" "$tmp/a.reg"
[ "$(stat -c %a "$tmp/a.reg")" = 600 ] || fail "export file is not owner-only"
head -1 "$tmp/a.reg" | grep -qxF 'Windows Registry Editor Version 5.00' || fail "export: no header"
grep -qxF '"nPort"=dword:00000202' "$tmp/a.reg" || fail "export: no dword line"
expect 0 reg export "$key" -
cmp -s "$tmp/out" "$tmp/a.reg" || fail "export to - differs from export to a file"
expect 0 reg delete "$key"
expect 1 reg query "$key"
expect 0 reg import "$tmp/a.reg"
expect 0 reg export "$key" "$tmp/b.reg"
cmp -s "$tmp/a.reg" "$tmp/b.reg" || fail "export after import differs"
expect 0 reg delete "$key"
"$corvctl" reg import - <"$tmp/a.reg" || fail "import from standard input"
get_is "$key\\Sub\\Deeper" v deep

# ---- deleting values ----
expect 0 reg delete "$key" nPort
expect 1 reg get "$key" nPort
expect 1 reg delete "$key" nPort

# ---- usage errors exit 2 ----
expect 2 reg
expect 2 reg frobnicate "$key"
expect 2 reg get "$key"
expect 2 reg add "$key" name REG_SZ
expect 2 reg add "$key" name REG_WHATEVER x
expect 2 reg add "$key" name REG_DWORD 4294967296
expect 2 reg add "$key" name REG_BINARY abc
expect 2 reg add "$key" name REG_MULTI_SZ 'a\0\0b'
expect 2 reg query 'HKEY_USERS\x'
expect 2 reg query 'HKLM\a\\b'
expect 2 reg delete HKLM
grep -q '^usage:' "$tmp/err" || fail "no usage text on a usage error"

# ---- failures exit 1 with a message, and change nothing ----
expect 1 reg query 'HKLM\Software\Missing'
grep -q '^corvctl: HKEY_LOCAL_MACHINE\\Software\\Missing: not found' "$tmp/err" || fail "missing key message: $(cat "$tmp/err")"
expect 1 reg get "$key" missing
expect 1 reg delete 'HKLM\Software\Missing'
expect 1 reg export 'HKLM\Software\Missing' "$tmp/none.reg"
[ ! -e "$tmp/none.reg" ] || fail "a failed export left a file"
expect 1 reg import "$tmp/does-not-exist.reg"
printf 'Windows Registry Editor Version 5.00\n\n[HKLM\\Software\\Half]\n"ok"=dword:1\n"bad"=dword:xyz\n' >"$tmp/bad.reg"
expect 1 reg import "$tmp/bad.reg"
grep -qF "bad.reg:5:" "$tmp/err" || fail "parse error without its line: $(cat "$tmp/err")"
expect 1 reg query 'HKLM\Software\Half'

# ---- a key of many values lists and exports in one pass, in seconds ----
big='HKEY_LOCAL_MACHINE\Software\Big'
{
  printf 'Windows Registry Editor Version 5.00\n\n[%s]\n' "$big"
  seq -f '"v%06g"=dword:00000001' 0 49999
  printf '\n[%s\\Sub]\n\n' "$big"
} >"$tmp/big.reg"
expect 0 reg import "$tmp/big.reg"
start=$SECONDS
expect 0 reg query "$big"
[ "$(grep -c '    REG_DWORD    0x1$' "$tmp/out")" = 50000 ] || fail "reg query listed $(grep -c REG_DWORD "$tmp/out") of 50000 values"
[ "$(sed -n 3p "$tmp/out")" = "    v000000    REG_DWORD    0x1" ] || fail "reg query begins $(sed -n 3p "$tmp/out")"
tail -n 1 "$tmp/out" | grep -qxF "$big\Sub" || fail "reg query lost the subkey: $(tail -n 1 "$tmp/out")"
expect 0 reg export "$big" "$tmp/big-out.reg"
cmp -s "$tmp/big.reg" "$tmp/big-out.reg" || fail "the export of the big key differs from its import"
# By index, each value cost a scan of the key: this took minutes.
[ $((SECONDS - start)) -le 20 ] || fail "reg query and export of 50000 values took $((SECONDS - start)) s"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)" >&2
  exit 1
fi
echo "all corvctl reg checks passed"
