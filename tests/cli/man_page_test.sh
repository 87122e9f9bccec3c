#!/usr/bin/env bash
# The manual page written from the usage: man renders it, groff finds nothing to warn
# about, and every command and every option of --help stands in the rendered page.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"
page=$2

[ -s "$page" ] || { echo "FAIL: no manual page at $page"; exit 1; }
MANWIDTH=100 man -l "$page" >man.txt 2>man-err.txt || fail "man -l failed: $(cat man-err.txt)"
[ -s man-err.txt ] && fail "man -l said: $(cat man-err.txt)"
grep -q "^NAME" man.txt && grep -q "^SYNOPSIS" man.txt || fail "no NAME or SYNOPSIS in the page"
# -ww: every warning; -k: the page's text through preconv as man does it.
groff -man -k -ww -Tutf8 -P-cbou "$page" >groff.txt 2>groff-err.txt || fail "groff failed"
[ -s groff-err.txt ] && fail "groff warned: $(cat groff-err.txt)"

"$cli" --help >usage.txt 2>err.txt || fail "--help failed: $(cat err.txt)"
# The commands are the first words of the usage's command lines, as in help_test.sh.
commands=$(sed -n '/^Commands:/,/^$/p' usage.txt | sed -n 's/^  \([a-z][a-z]*\)\( .*\)\{0,1\}$/\1/p' |
  sort -u)
[ "$(echo "$commands" | wc -l)" -ge 15 ] || fail "too few commands in the usage: $commands"
for c in $commands; do
  # An entry of the page: the command at the start of an indented line.
  grep -Eq "^ +$c( |\$)" man.txt || fail "command '$c' has no entry in the page"
done
# Every option the usage names, in the page's words as well.
for o in $(grep -o -- '--[a-z][a-z-]*' usage.txt | sort -u); do
  grep -Fq -- "$o" man.txt || fail "option '$o' is not in the page"
done
# The page follows the usage: the one of this build, not an older one.
version=$("$cli" --version)
grep -Fq "$version" man.txt || fail "the page is not of $version"

[ "$failures" = 0 ] && echo "man page: all checks passed"
exit "$failures"
