#!/usr/bin/env bash
# The program's options, with no display at all and the X11 platform forced: --help
# and --version must print and end before Qt would look for a display, mistakes end
# with status 2 and a message on stderr, and Qt's own options still reach Qt. No case
# here gets as far as opening a socket: should an option wrongly fall through, the
# program ends in QApplication for want of a display, before any window exists.
#
#   options_test.sh <program> <version>
set -uo pipefail
program=$1 version=$2
work=$(mktemp -d /tmp/brenu-options.XXXXXX)
trap 'rm -rf "$work"' EXIT
export LSAN_OPTIONS="suppressions=$(cd "$(dirname "$0")" && pwd)/lsan.supp:print_suppressions=0"
failures=0
fail() { echo "options test: $*" >&2; failures=$((failures + 1)); }
# run <args...>: sets status, out and err.
run() {
  # (The braces keep the shell's own "Aborted" note for the Qt case out of the output.)
  { env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb HOME="$work/home" XDG_STATE_HOME="$work/state" XDG_CONFIG_HOME="$work/config" \
      timeout 20 "$program" "$@" >"$work/out" 2>"$work/err"; } 2>/dev/null
  status=$?
  out=$(cat "$work/out") err=$(cat "$work/err")
}

for option in --help -h; do
  run "$option"
  ((status == 0)) || fail "$option: status $status, stderr: $err"
  [[ -z "$err" ]] || fail "$option wrote to stderr: $err"
  [[ "$out" == *"--version"* && "$out" == *"--help"* ]] || fail "$option does not list the options: $out"
  # Where the log goes, with this environment's state folder spelled out.
  [[ "$out" == *"$work/state/BrenuSearchTools/log/"* ]] || fail "$option does not tell the log folder: $out"
  [[ "$out" == *"log/ when that folder can be written"* ]] || fail "$option does not tell the first choice: $out"
done

for option in --version -v; do
  run "$option"
  ((status == 0)) || fail "$option: status $status, stderr: $err"
  [[ "$out" == "BrenuSearchTools $version" ]] || fail "$option printed '$out', expected 'BrenuSearchTools $version'"
done

# Mistakes: status 2, a message naming the culprit on stderr, nothing on stdout; a
# mistake wins over --help that comes with it.
for args in "--bogus" "--help --bogus" "-x" "stray-argument" "--version=3"; do
  read -ra argv <<<"$args"
  run "${argv[@]}"
  ((status == 2)) || fail "'$args': status $status, expected 2 (stderr: $err)"
  [[ -z "$out" ]] || fail "'$args' wrote to stdout: $out"
  culprit=${argv[-1]#--}
  culprit=${culprit#-}
  culprit=${culprit%%=*}
  [[ "$err" == *"$culprit"* && "$err" == *"--help"* ]] || fail "'$args': unclear message: $err"
done

# A Qt option is handed to Qt, which here fails to load the platform it names,
# instead of being refused as unknown.
run -platform brenu-no-such-platform
((status != 0 && status != 2)) || fail "-platform: status $status (stderr: $err)"
[[ "$err" == *"brenu-no-such-platform"* ]] || fail "-platform did not reach Qt: $err"

# Qt plug-ins come from "plugins" beside the executable (a portable copy), never from
# the working directory: Qt names every folder it searches for the platform plug-in.
mkdir -p "$work/app/plugins/platforms" "$work/cwd/plugins/platforms"
cp "$program" "$work/app/BrenuSearchTools"
: >"$work/cwd/plugins/platforms/libbrenu-no-such-platform.so"
installed=$program program="$work/app/BrenuSearchTools"
cd "$work/cwd"
export QT_DEBUG_PLUGINS=1
run -platform brenu-no-such-platform
unset QT_DEBUG_PLUGINS
cd - >/dev/null
program=$installed
[[ "$err" == *"$work/app/plugins/platforms"* ]] || fail "the plug-ins beside a portable copy are not searched: $err"
[[ "$err" != *"$work/cwd/plugins"* ]] || fail "plug-ins are searched in the working directory: $err"
[[ "$err" == *"brenu-no-such-platform"* ]] || fail "the plug-in search was not reached: $err"

[[ ! -e "$work/state" ]] || fail "printing help or refusing options made a log folder"
[[ ! -e "$work/config" && ! -e "$work/home/.config" ]] || fail "printing help or refusing options touched the settings"
((failures == 0)) && echo "options test: all cases passed"
((failures == 0))
