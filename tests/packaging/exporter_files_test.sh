#!/usr/bin/env bash
# The metrics service and the alert rules, checked by the programs that will run
# them: promtool checks the rules and runs their unit tests; systemd-analyze
# verifies the service (with ExecStart pointing at the brenu-search under test,
# since /usr/bin/brenu-search is not installed here) and rates its sandboxing,
# which must stay at an exposure of at most 2.0 ("OK"; 0 is the most confined).
#
#   exporter_files_test.sh <source dir> <brenu-search>
set -euo pipefail
src=$1 program=$2
fail() { echo "exporter files: $*" >&2; exit 1; }
for tool in promtool systemd-analyze; do
  command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/bootstrap"
done
work=$(mktemp -d /tmp/brenu-exporter-files.XXXXXX)
trap 'rm -rf "$work"' EXIT

rules="$src/packaging/prometheus"
promtool check rules "$rules/brenu-alerts.yml" || fail "promtool check rules refused the alert rules"
(cd "$rules" && promtool test rules brenu-alerts.test.yml) || fail "the alert rules' unit tests failed"

unit="$work/brenu-search-exporter.service"
sed "s|/usr/bin/brenu-search |$program |" "$src/packaging/systemd/brenu-search-exporter.service" >"$unit"
grep -q "^ExecStart=$program watch --format prometheus --textfile .* --state /var/lib/brenu-search-exporter/" "$unit" ||
  fail "no ExecStart running $program with its state"
# A bad option is not retried; the device set outlives a restart; and the link is
# made only after the program started (when its file exists). The runtime folder is
# not preserved: a dynamic user's preserved folder lies under /run/private (0700),
# out of node_exporter's reach.
for line in RestartPreventExitStatus=2 StateDirectory=brenu-search-exporter DynamicUser=yes; do
  grep -qx "$line" "$unit" || fail "the service lacks $line"
done
if grep -q '^RuntimeDirectoryPreserve=\(yes\|restart\)' "$unit"; then fail "the runtime folder is preserved: node_exporter cannot read it"; fi
if grep -q '^ExecStartPre=.*ln ' "$unit"; then fail "the link is made before the file exists"; fi
grep -q '^ExecStartPost=.*ln -sfn' "$unit" || fail "the service makes no link after starting"
systemd-analyze verify --man=no "$unit" >"$work/verify.log" 2>&1 || fail "systemd-analyze verify: $(cat "$work/verify.log")"
[[ ! -s "$work/verify.log" ]] || fail "systemd-analyze verify warned: $(cat "$work/verify.log")"
systemd-analyze security --offline=yes "$unit" >"$work/security.log" 2>&1 || fail "systemd-analyze security: $(cat "$work/security.log")"
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$work/security.log")
[[ -n "$score" ]] || fail "no exposure level in: $(tail -3 "$work/security.log")"
awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }' || fail "exposure level $score is above 2.0: $(grep '✗' "$work/security.log")"
echo "exporter files: rules and their tests pass, the service verifies, exposure level $score"
