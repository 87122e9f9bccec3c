#!/usr/bin/env bash
# Help from the shell: every command named in the usage answers "COMMAND --help",
# "help COMMAND" and "--help COMMAND" with the usage on standard output and success; a
# name that is no command gets no usage but "unknown command" on standard error and the
# misuse status, whichever way help was asked.
set -u
. "$(dirname "$0")/cli_test_setup.sh" "$1"

"$cli" --help >usage.txt 2>err.txt || fail "--help failed: $(cat err.txt)"
# The commands are the first words of the usage's command lines (two blanks, a lower-case
# word), from "Commands:" to the first blank line after it.
commands=$(sed -n '/^Commands:/,/^$/p' usage.txt | sed -n 's/^  \([a-z][a-z]*\)\( .*\)\{0,1\}$/\1/p' |
  sort -u)
[ "$(echo "$commands" | wc -l)" -ge 15 ] || fail "too few commands in the usage: $commands"
for c in $commands; do
  for form in "$c --help" "help $c" "--help $c" "$c -h"; do
    # shellcheck disable=SC2086
    "$cli" $form >out.txt 2>err.txt || fail "'$form' failed: $(cat err.txt)"
    cmp -s out.txt usage.txt || fail "'$form' did not print the usage"
  done
done

for form in "nosuch --help" "help nosuch" "--help nosuch" "-h nosuch" "nosuch" \
  "nosuch --csv --help"; do
  # shellcheck disable=SC2086
  "$cli" $form >out.txt 2>err.txt
  rc=$?
  [ "$rc" = 2 ] || fail "'$form' exited $rc, not 2"
  [ -s out.txt ] && fail "'$form' printed on standard output: $(head -2 out.txt)"
  grep -q "unknown command 'nosuch'" err.txt || fail "'$form' did not name the command: $(cat err.txt)"
done
"$cli" help >out.txt 2>err.txt && cmp -s out.txt usage.txt || fail "'help' alone gave no usage"
"$cli" help --help >out.txt 2>err.txt && cmp -s out.txt usage.txt || fail "'help --help' gave no usage"

[ "$failures" = 0 ] && echo "help: all checks passed"
exit "$failures"
