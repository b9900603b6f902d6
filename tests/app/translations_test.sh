#!/usr/bin/env bash
# translations_test.sh LUPDATE TS LUPDATE-ARGS...
# Refreshes a copy of the translation file from the sources, as the target
# update_translations would, and fails on any text without a finished translation:
# a new text missing from the .ts, one marked unfinished, or an empty translation.
set -euo pipefail
lupdate=$1 ts=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
copy=$work/$(basename "$ts")
cp "$ts" "$copy"
"$lupdate" "$@" -ts "$copy" >"$work/lupdate.log" 2>&1 || { cat "$work/lupdate.log"; exit 1; }
status=0
if grep -n 'type="unfinished"\|type="vanished"\|type="obsolete"' "$copy"; then
  echo "translations_test: texts above have no finished translation; run 'ninja update_translations'" \
       "and translate them in $ts" >&2
  status=1
fi
if grep -n '<translation></translation>\|<translation/>' "$copy"; then
  echo "translations_test: empty translations in $ts" >&2
  status=1
fi
messages=$(grep -c '<message>' "$copy" || true)
if ((messages < 50)); then
  echo "translations_test: only $messages texts found; are the sources still scanned?" >&2
  status=1
fi
exit $status
