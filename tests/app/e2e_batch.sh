#!/usr/bin/env bash
# The batch window end to end on a real X server (Xvfb), driven with xdotool. The tool
# runs in the network sandbox with brenu-devsim playing four devices on one factory
# address (10.77.0.2), announcing the MAC of the one link they sit behind so that the
# tool's exact delivery to a shared address reaches them, and a host holding
# 10.77.0.21 that answers ARP only. Ctrl+B opens
# the batch window; "全选", a start address 10.77.0.20 and a gateway are entered; the
# preview must skip 10.77.0.21; "应用" is confirmed; the result saved through
# "保存结果..." must show every device verified at .20, .22, .23 and .24, and the
# devices must have received one update request each. Screenshots go to the artefacts.
#
#   e2e_batch.sh <directory of BrenuSearchTools and brenu-devsim> <artefact directory>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [[ "${BRENU_E2E_INSIDE:-}" != 1 ]]; then
  bin=$(cd "$1" && pwd)
  mkdir -p "$2"
  artifacts=$(cd "$2" && pwd)
  work=$(mktemp -d /tmp/brenu-e2e-batch.XXXXXX)
  export BRENU_E2E_INSIDE=1
  exec "$root/scripts/sandbox" --device-addr 10.77.0.21/24 \
    --device "exec '$bin/brenu-devsim' --devices 4 --address-pool 10.77.0.2 --mac-of-link brd0 \
              --log '$work/devsim.log' --exit-with-parent --quiet" \
    -- "$0" "$bin" "$artifacts" "$work"
fi

bin=$1 artifacts=$2 work=$3
# shellcheck source=e2e_session.sh
source "$here/e2e_session.sh"
start_xvfb
start_tool

updates() { grep -c 'updatecfg.htm' "$work/devsim.log" || true; }

main=$(wait_window 10 'BRENU') || fail "no main window; tool output: $(cat "$work/tool.log")"
for _ in $(seq 50); do
  [[ $(grep -c 'searchbrenu' "$work/devsim.log" || true) -gt 0 ]] && break
  sleep 0.1
done
sleep 1
xdotool windowfocus --sync "$main"
xdotool key ctrl+b
batch=$(wait_window 5 '批量修改') || fail "Ctrl+B did not open the batch window"
sleep 0.5
# Places in the batch window (1000x560, laid out by the window itself).
click() { xdotool mousemove --window "$batch" "$1" "$2" click 1; sleep 0.2; }
click 40 23                      # 全选
click 930 52                     # 起始地址 (offered from the checked devices: replaced)
xdotool key ctrl+a
xdotool type --delay 30 '10.77.0.20'
click 930 114                    # 默认网关
xdotool key ctrl+a
xdotool type --delay 30 '10.77.0.254'
sleep 2.5                        # the preview's probe (300 ms delay, 1 s wait)
import -window "$batch" "$artifacts/e2e_batch_preview.png"

click 770 536                    # 应用
confirm=$(wait_window 5 '警告') || fail "no confirmation box"
xdotool key Return
for _ in $(seq 100); do
  [[ $(updates) -ge 4 ]] && break
  sleep 0.1
done
[[ $(updates) -eq 4 ]] || fail "the devices got $(updates) update requests, not 4"
# The next search rounds (every 5 s) show the new values: two more search requests
# at the devices (at most 20 s on a loaded machine), then a moment for the window to
# take their answers.
searches() { grep -c 'searchbrenu' "$work/devsim.log" || true; }
rounds=$(searches)
for _ in $(seq 200); do
  [[ $(searches) -ge $((rounds + 2)) ]] && break
  sleep 0.1
done
sleep 1.5
import -window "$batch" "$artifacts/e2e_batch_done.png"
import -window root "$artifacts/e2e_batch_screen.png"

click 890 536                    # 保存结果...
wait_window 5 '保存结果' >/dev/null || fail "no save dialog"
sleep 0.5
xdotool type --delay 10 "$work/result.csv"
xdotool key Return
for _ in $(seq 30); do [[ -s "$work/result.csv" ]] && break; sleep 0.1; done
[[ -s "$work/result.csv" ]] || fail "the result was not saved"
cp "$work/result.csv" "$artifacts/e2e_batch_result.csv"
for address in 10.77.0.20 10.77.0.22 10.77.0.23 10.77.0.24; do
  grep -q ",$address,.*,已验证" "$work/result.csv" || fail "no device verified at $address: $(cat "$work/result.csv")"
done
grep -q ',10.77.0.21,' "$work/result.csv" && fail "the answering address 10.77.0.21 was planned"

stop_tool
echo "e2e: batch flow passed; screenshots in $artifacts"
