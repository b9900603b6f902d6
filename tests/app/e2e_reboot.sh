#!/usr/bin/env bash
# End to end on a real X server (Xvfb), driven with xdotool like an operator would.
# The tool runs in the network sandbox with brenu-devsim playing two devices, the
# second of which never answers commands; both sit at one address behind one link and
# announce its MAC, so that exact delivery to the shared address reaches them. The test opens the context menu and the
# settings dialog from it (screenshots of both kept as artefacts); reboots the silent
# device and checks that the window shows no remains of the closed box while it
# waits, and that the row stays; then right-clicks the first row, chooses "重启设备", confirms, sees
# the result box and checks that the row has gone. Finally the tool is asked to stop
# and must end cleanly within a few seconds.
#
#   e2e_reboot.sh <directory of BrenuSearchTools and brenu-devsim> <artefact directory>
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)

if [[ "${BRENU_E2E_INSIDE:-}" != 1 ]]; then
  bin=$(cd "$1" && pwd)
  mkdir -p "$2"
  artifacts=$(cd "$2" && pwd)
  work=$(mktemp -d /tmp/brenu-e2e.XXXXXX)
  export BRENU_E2E_INSIDE=1
  # A rebooted device stays silent for a minute, so its row stays away.
  exec "$root/scripts/sandbox" \
    --device "exec '$bin/brenu-devsim' --device 'serial=E2E-0001,address=10.77.0.2,port=8001,description=测试设备' \
              --device 'serial=E2E-0002,address=10.77.0.2,port=8002,fault=command:silent' \
              --mac-of-link brd0 --reboot-time 60000 --log '$work/devsim.log' --exit-with-parent --quiet" \
    -- "$0" "$bin" "$artifacts" "$work"
fi

bin=$1 artifacts=$2 work=$3
# shellcheck source=e2e_session.sh
source "$here/e2e_session.sh"
start_xvfb
started=$(date '+%Y-%m-%d %H:%M:%S')
start_tool

# Number of colours in a strip of the window: 1 when the strip is empty background.
colours() { import -window "$1" -crop "$2" +repage -format %k info:; }
# Strips inside the first and second rows (below the table's 30-pixel header).
row1=(150 92 260x20+40+82)
row2=(150 123 260x20+40+113)

main=$(wait_window 10 'BRENU') || fail "no main window; tool output: $(cat "$work/tool.log")"
for _ in $(seq 50); do
  awk -v since="$started" 'substr($0, 2, 19) >= since' log/*/BrenuSearchTools_UdpCast.log 2>/dev/null |
    grep -q E2E-0002 && break
  sleep 0.1
done
sleep 0.5
[[ $(colours "$main" "${row1[2]}") -gt 1 && $(colours "$main" "${row2[2]}") -gt 1 ]] ||
  fail "the device rows are not where they were expected"
import -window "$main" "$artifacts/e2e_main_window.png"

# The context menu with its list entries ("复制", "导出列表..." after a separator); a
# menu is a window of its own, so the whole screen is kept.
xdotool mousemove --window "$main" "${row1[0]}" "${row1[1]}" click 3
sleep 0.4
import -window root "$artifacts/e2e_context_menu.png"
xdotool key Escape
sleep 0.3

# The settings dialog, from "修改配置" (first entry of the context menu).
xdotool mousemove --window "$main" "${row1[0]}" "${row1[1]}" click 3
sleep 0.4
xdotool key Down Return
dialog=$(wait_window 5 '详情') || fail "the settings dialog did not open"
sleep 0.3
import -window "$dialog" "$artifacts/e2e_settings_dialog.png"
xdotool key Escape
sleep 0.3
xdotool search --onlyvisible --name '详情' >/dev/null 2>&1 && fail "the settings dialog did not close"

# Reboot of the silent device: while the window waits for the answer, it must look
# exactly as before the confirmation box (the box leaves no remains).
xdotool mousemove --window "$main" "${row2[0]}" "${row2[1]}" click 3
sleep 0.4
xdotool key Escape
sleep 0.3
import -window "$main" "$work/before.png"
xdotool click 3
sleep 0.4
xdotool key Down Down Return
wait_window 5 '警告' >/dev/null || fail "no confirmation box for the silent device"
xdotool key Return
sleep 1.5
import -window "$main" "$work/waiting.png"
differing=$(compare -metric AE "$work/before.png" "$work/waiting.png" null: 2>&1 || true)
[[ "$differing" == 0 ]] || { cp "$work/waiting.png" "$artifacts/e2e_waiting.png";
                             fail "the window is not repainted while it waits ($differing pixels differ)"; }
wait_window 12 '提示' >/dev/null || fail "no result box after the silent device's time limit"
xdotool key Return
sleep 0.5
[[ $(colours "$main" "${row2[2]}") -gt 1 ]] || fail "the silent device's row has gone"

# Reboot: "重启设备" (second entry), confirm with the default button.
xdotool mousemove --window "$main" "${row1[0]}" "${row1[1]}" click 3
sleep 0.4
xdotool key Down Down Return
confirm=$(wait_window 5 '警告') || fail "no confirmation box"
import -window "$confirm" "$artifacts/e2e_confirm_reboot.png"
xdotool key Return
result=$(wait_window 12 '提示') || fail "no result box"
sleep 0.3
import -window "$result" "$artifacts/e2e_reboot_result.png"
xdotool key Return
sleep 0.5

grep -q 'reboot.htm.*"serialNo":"E2E-0001"' "$work/devsim.log" || fail "the device got no reboot request"
# One row left: the second row's place is empty now.
[[ $(colours "$main" "${row2[2]}") -eq 1 && $(colours "$main" "${row1[2]}") -gt 1 ]] ||
  fail "the rebooted device's row is still listed"
import -window "$main" "$artifacts/e2e_after_reboot.png"

# A stop request closes the window; the program ends through its normal shut-down.
stop_tool
echo "e2e: reboot flow passed; screenshots in $artifacts"
