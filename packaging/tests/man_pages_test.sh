#!/bin/bash
# The manual pages say what the programs say: every command form of
# `corvctl --help` is in the SYNOPSIS of corvctl(8) and every form there is in
# the help, and the options of `corvantd -h` are those of corvantd(8); every
# built page renders without a warning from man.
# usage: man_pages_test.sh CORVCTL CORVANTD SOURCE_DIR BUILT_DIR
set -u
corvctl=$1 corvantd=$2 sources=$3 built=$4
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A command form without layout: "usage: " and comments in parentheses gone,
# blanks joined ("corvctl reg query  KEY [NAME]" -> "corvctl reg query KEY [NAME]").
normalize() { sed -e 's/^usage: *//' -e 's/ *(.*)$//' -e 's/  */ /g' -e 's/^ //' -e 's/ $//'; }

help_forms=$("$corvctl" --help | grep -E '^(usage: +)?corvctl |^ +corvctl ' | normalize | sort -u)
[ -n "$help_forms" ] || fail "corvctl --help printed no command forms"
# The SYNOPSIS section's lines with scdoc's markup (*bold*, _underline_, ++
# line breaks) taken off; "corvctl --help" is the page's own addition.
page_forms=$(sed -n '/^# SYNOPSIS/,/^# /p' "$sources/corvctl.8.scd" | grep '^\*corvctl' |
  sed -e 's/++$//' -e 's/[*_]//g' | normalize | grep -vx 'corvctl --help' | sort -u)

while IFS= read -r form; do
  grep -qxF -- "$form" <<<"$page_forms" || fail "corvctl --help has '$form', corvctl(8) does not"
done <<<"$help_forms"
while IFS= read -r form; do
  grep -qxF -- "$form" <<<"$help_forms" || fail "corvctl(8) has '$form', corvctl --help does not"
done <<<"$page_forms"

# Each command word of the help is described in the page's body too.
for command in $(awk '{print $2}' <<<"$help_forms" | sort -u); do
  grep -qE "^\*($command|(reg|sc) [a-z|*-]+)" "$sources/corvctl.8.scd" ||
    fail "corvctl(8) describes no '$command' command"
done

# corvantd: the options of its help text, and those the page describes.
help_options=$("$corvantd" -h | grep -oE ' -[a-z] ' | tr -d ' ' | sort -u | tr '\n' ' ')
page_options=$(sed -n '/^# OPTIONS/,/^# /p' "$sources/corvantd.8.scd" | grep -oE '^\*-[a-z]\*$' | tr -d '*' |
  sort -u | tr '\n' ' ')
[ -n "$help_options" ] || fail "corvantd -h printed no options"
[ "$help_options" = "$page_options" ] || fail "corvantd -h has options '$help_options', corvantd(8) '$page_options'"

for page in corvantd.8 corvctl.8 CorvantelClient.1; do
  [ -s "$built/$page" ] || { fail "$built/$page was not built"; continue; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$built/$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
  head -c 200 "$built/$page" | grep -q '^\.TH' || fail "$page is not a roff manual page"
done

if [ "$failures" -eq 0 ]; then echo "man pages: every check passed"; fi
exit $((failures > 0))
