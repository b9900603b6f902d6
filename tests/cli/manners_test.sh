#!/usr/bin/env bash
# Command-line manners of both programs: help and version that cannot be written
# fail; "--" ends the options; diagnostics carry the program's name; a locale that
# cannot show UTF-8 gets none.
#
#   manners_test.sh <brenu-search> <BrenuSearchTools>
set -uo pipefail
cli=$1 app=$2
fail() { echo "manners test: $*" >&2; exit 1; }
for program in "$cli" "$app"; do
  name=${program##*/}
  for option in --help --version; do
    "$program" "$option" >/dev/full 2>"$TMPDIR/err" && fail "$name $option >/dev/full exited 0"
    grep -q "^$name: cannot write the output" "$TMPDIR/err" || fail "$name $option: $(cat "$TMPDIR/err")"
  done
  "$program" --version >/dev/null || fail "$name --version failed"
done
# -- ends the options: the command after it is found, an option after it is an argument.
"$cli" -- list --help >/dev/null 2>"$TMPDIR/err"
[[ $? == 2 && $(cat "$TMPDIR/err") == "brenu-search: unexpected argument '--help' (see brenu-search --help)" ]] ||
  fail "-- list --help: $(cat "$TMPDIR/err")"
# No UTF-8 for a locale that cannot show it.
LC_ALL=C "$cli" -- "x仓" 2>"$TMPDIR/err"
grep -q "^brenu-search: unknown command 'x?'" "$TMPDIR/err" || fail "LC_ALL=C: $(cat "$TMPDIR/err")"
LC_ALL=C.UTF-8 "$cli" -- "x仓" 2>"$TMPDIR/err"
grep -q "^brenu-search: unknown command 'x仓'" "$TMPDIR/err" || fail "LC_ALL=C.UTF-8: $(cat "$TMPDIR/err")"
echo "manners test: passed"
