#!/usr/bin/env bash
# brenu-search's metrics through a real node_exporter, laid out as the packaged
# service lays them out: `watch --format prometheus --textfile` writes into a folder
# of its own, and node_exporter's textfile folder holds a link to the file. In the
# network sandbox, node_exporter listens on 127.0.0.1 only, brenu-devsim plays three
# devices (one with a hostile serial number), and curl scrapes node_exporter:
#  1. every device is listed and up, the file passes `promtool check metrics`;
#  2. one device stops answering (its address is removed on the device side): its
#     brenu_device_up goes to 0 after the stale time and it stays listed; the others
#     stay up;
#  3. SIGTERM ends watch cleanly (then by the signal itself, as brenu-search ends on
#     one), leaving no temporary file beside the file;
#  4. started with an --address the machine does not hold yet (DHCP late at boot),
#     it says so and waits; once the address is added, the devices are published.
#
#   exporter_test.sh <brenu-search> <brenu-devsim>
set -eEuo pipefail
trap 'echo "exporter test: line $LINENO failed: $BASH_COMMAND" >&2' ERR
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export PATH="$PATH:/usr/sbin:/sbin"
fail() { echo "exporter test: $*" >&2; exit 1; }

# What the simulator plays; the third answers from its own address, 10.77.0.3.
device() { echo "serial=$1,address=$2,port=8000,dhcp=off,mask=255.255.255.0,gateway=10.77.0.254,dns=10.77.0.253,mac=$3"; }
dev1=$(device SN-1 10.77.0.2 02:00:00:00:00:01)
dev2=$(device 'Q"仓\\x' 10.77.0.2 02:00:00:00:00:02)
dev3=$(device SN-3 10.77.0.3 02:00:00:00:00:03)

if [[ "${BRENU_EXPORTER_TEST_STAGE:-}" == "" ]]; then
  program=$1 devsim=$2
  for tool in prometheus-node-exporter promtool curl unshare nsenter; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/bootstrap"
  done
  work=$(mktemp -d /tmp/brenu-exporter-test.XXXXXX)
  trap 'rm -rf "$work"' EXIT
  export BRENU_EXPORTER_TEST_STAGE=workstation
  # The device side stops answering for 10.77.0.3 once the workstation side asks.
  "$root/scripts/sandbox" --device-addr 10.77.0.3/24 --device "
    '$devsim' --exit-with-parent --quiet --device '$dev1' --device '$dev2' --device '$dev3' &
    until [ -e '$work/stop' ]; do sleep 0.1; done
    ip addr del 10.77.0.3/24 dev brd0
    wait" -- "$0" "$program" "$work"
  exit 0
fi

# -- Workstation side of the sandbox.
program=$1 work=$2
stale=6
mkdir -p "$work/textfile" "$work/out"
ln -s "$work/out/brenu.prom" "$work/textfile/brenu.prom"
prometheus-node-exporter --web.listen-address=127.0.0.1:9100 --collector.disable-defaults \
  --collector.textfile --collector.textfile.directory="$work/textfile" >"$work/node.log" 2>&1 &
node=$!
"$program" watch --format prometheus --textfile "$work/out/brenu.prom" --stale-after "$stale" \
  >"$work/watch.out" 2>"$work/watch.err" &
watch=$!
cleanup() {
  kill "$watch" "$node" 2>/dev/null || true
  wait "$watch" "$node" 2>/dev/null || true
}
trap cleanup EXIT

scrape() { curl -sf --max-time 2 http://127.0.0.1:9100/metrics >"$work/scrape" 2>/dev/null; }
has() { grep -qxF -- "$1" "$work/scrape"; }
up() { echo "brenu_device_up{mac=\"$1\",serial=\"$2\"} $3"; }
# Scrapes every 0.5 s until all the given lines are there; $1 is the time limit in s.
await() {
  local limit=$1 line missing
  shift
  for _ in $(seq $((limit * 2))); do
    missing=""
    if scrape; then
      for line in "$@"; do has "$line" || missing="$line"; done
      [[ -z "$missing" ]] && return 0
    fi
    sleep 0.5
  done
  fail "after ${limit} s the scrape lacks '$missing'; scrape: $(grep brenu_ "$work/scrape" 2>/dev/null)
node_exporter: $(tail -5 "$work/node.log"); watch: $(cat "$work/watch.err")"
}

# 1. Listed and up after the first round (1 s); node_exporter read the file cleanly.
hostile='Q\"仓\\x'
await 15 "$(up 02:00:00:00:00:01 SN-1 1)" "$(up 02:00:00:00:00:02 "$hostile" 1)" \
  "$(up 02:00:00:00:00:03 SN-3 1)" "brenu_devices 3" 'node_textfile_scrape_error 0'
grep -q '^brenu_device_info{address="10.77.0.3",.*interface="brw0",.*serial="SN-3",subnet="local"} 1$' "$work/scrape" || fail "no info line for SN-3 heard on brw0"
promtool check metrics <"$work/out/brenu.prom" || fail "promtool check metrics refused the file"
grep -qx 'brenu_textfile_writes_total [1-9][0-9]*' "$work/out/brenu.prom" || fail "no count of writes: $(grep textfile "$work/out/brenu.prom")"
# The same devices in OpenMetrics, read by the OpenMetrics parser of the Prometheus
# client library (it refuses a counter family named with _total and a text without
# "# EOF"); the first round's text runs up to its "# EOF".
timeout -s TERM 3 "$program" watch --format openmetrics --stale-after "$stale" >"$work/om.out" 2>"$work/om.err" || true
sed '/^# EOF$/q' "$work/om.out" >"$work/om.txt"
/usr/bin/python3 - "$work/om.txt" <<'PY' || fail "the OpenMetrics parser refused the text: $(cat "$work/om.txt")"
import sys
from prometheus_client.openmetrics.parser import text_string_to_metric_families
families = {f.name: f for f in text_string_to_metric_families(open(sys.argv[1]).read())}
assert families["brenu_search_rounds"].type == "counter", families.keys()
assert len(families["brenu_device_up"].samples) == 3, families["brenu_device_up"].samples
PY

# 2. SN-3 goes silent: 0 in the first round written after the stale time, still listed.
touch "$work/stop"
await $((stale + 15)) "$(up 02:00:00:00:00:03 SN-3 0)" "$(up 02:00:00:00:00:01 SN-1 1)" \
  "$(up 02:00:00:00:00:02 "$hostile" 1)" "brenu_devices 3"

# 3. A clean end, nothing left beside the file.
kill -TERM "$watch"
status=0
wait "$watch" || status=$?
((status == 128 + 15)) || fail "watch ended with status $status, not by SIGTERM: $(cat "$work/watch.err")"
[[ $(ls -A "$work/out") == brenu.prom ]] || fail "left in the folder: $(ls -A "$work/out")"
[[ ! -s "$work/watch.out" ]] || fail "watch printed to standard output: $(head -3 "$work/watch.out")"

# 4. An address not configured yet is waited for, not a reason to stop.
"$program" watch --format prometheus --textfile "$work/out/late.prom" --address 10.77.0.9 \
  >"$work/late.out" 2>"$work/late.err" &
watch=$!
sleep 1.5
kill -0 "$watch" 2>/dev/null || fail "watch ended for an address not held yet: $(cat "$work/late.err")"
grep -qx "brenu-search: '10.77.0.9' is not an IPv4 address of this machine yet: waiting for it" "$work/late.err" ||
  fail "no word of the wait: $(cat "$work/late.err")"
grep -qx 'brenu_devices 0' "$work/out/late.prom" || fail "devices published before the address came: $(grep brenu_devices "$work/out/late.prom")"
ip addr add 10.77.0.9/24 dev brw0
for _ in $(seq 40); do
  grep -q '^brenu_device_up{serial="SN-1",mac="02:00:00:00:00:01"} 1$' "$work/out/late.prom" && break
  sleep 0.5
done
grep -q '^brenu_device_up{serial="SN-1",mac="02:00:00:00:00:01"} 1$' "$work/out/late.prom" ||
  fail "no device after the address came: $(grep brenu_device "$work/out/late.prom"); watch: $(cat "$work/late.err")"
grep -qx 'brenu-search: searching from 10.77.0.9 now' "$work/late.err" || fail "the address taken up unsaid: $(cat "$work/late.err")"
echo "exporter test: node_exporter served every device, the silent one went to 0, a late address was waited for"
