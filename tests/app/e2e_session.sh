# Sourced by the end-to-end scripts once they run inside the sandbox: a real X server
# (Xvfb) on a display of its own, the tool started on it, the wait for a window, and
# the clean-up. Expects $here, $bin and $work; sets DISPLAY, $xvfb and $tool.
unset QT_QPA_PLATFORM
# The scripts look for the Chinese window titles; the window speaks the desktop's first
# language (LANGUAGE wins over LANG). The remembered layout starts empty in the
# scratch folder and is never the user's.
export LANGUAGE=zh_CN
export XDG_CONFIG_HOME="$work/config"
export QT_XCB_GL_INTEGRATION=none # no OpenGL client library is needed for these widgets
export LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0"
fail() { echo "e2e: $*" >&2; exit 1; }

# Display numbers are shared with every X server of the machine (its /tmp), those of
# tests running beside this one included: a server that lost a race for its number is
# started again. -noreset: the check's own connection must not leave the server
# resetting (and refusing connections) just as the tool connects.
start_xvfb() {
  local attempt
  for attempt in 1 2 3; do
    exec 3< <(exec Xvfb -displayfd 1 -noreset -screen 0 1280x800x24 -nolisten tcp 2>"$work/xvfb.log")
    xvfb=$!
    read -r -t 10 display <&3 || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
    export DISPLAY=":$display"
    xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
    kill "$xvfb" 2>/dev/null || true
    wait "$xvfb" 2>/dev/null || true
  done
  fail "cannot reach the X server on $DISPLAY: $(cat "$work/xvfb.log")"
}

cleanup() {
  kill -TERM "$tool" 2>/dev/null || true
  wait "$tool" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
  wait "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}

# Starts the tool from its own folder on the X server; ended by cleanup on exit.
start_tool() {
  cd "$bin"
  ./BrenuSearchTools >"$work/tool.log" 2>&1 &
  tool=$!
  trap cleanup EXIT
}

# Sends the tool a stop request, as the system would, and expects it to close its
# window and end through its normal shut-down with status 0 within 5 s.
stop_tool() {
  local status=0
  kill -TERM "$tool"
  for _ in $(seq 50); do
    kill -0 "$tool" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$tool" 2>/dev/null && fail "the tool did not end within 5 s"
  wait "$tool" || status=$?
  [[ $status -eq 0 ]] || fail "the tool ended with status $status: $(cat "$work/tool.log")"
}

# Waits up to $1 seconds for a visible window whose title matches $2; prints its id.
wait_window() {
  local id
  for _ in $(seq $(($1 * 10))); do
    id=$(xdotool search --onlyvisible --name "$2" 2>/dev/null | head -n1 || true)
    [[ -n "$id" ]] && { echo "$id"; return 0; }
    kill -0 "$tool" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
