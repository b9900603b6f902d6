#!/usr/bin/env bash
# The Debian package as a user gets it. Builds the package with CPack from the build
# tree, checks its control fields and file list, validates the desktop entry and the
# AppStream file, runs lintian, unpacks it with dpkg-deb -x into a temporary root and
# starts the unpacked program there the way an installed one runs: from a folder it
# cannot write (a read-only bind mount: root could write through mere permissions),
# with HOME and XDG_STATE_HOME in the temporary root, on a headless X server, in the
# network sandbox with brenu-devsim playing one device. The log must appear in the
# XDG state folder after one search round, and the window must carry the built-in
# icon and the window class the menu entry names. A second start with no writable
# log folder at all must say so once on standard error and still show the window.
#
#   package_test.sh <build dir> <devsim> <version> <optional program>...
#
# Exit status 77 (skipped) only when this is no Debian system (no dpkg-deb).
set -eEuo pipefail
trap 'echo "package test: line $LINENO failed: $BASH_COMMAND" >&2' ERR
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
export PATH="$PATH:/usr/sbin:/sbin"
fail() { echo "package test: $*" >&2; exit 1; }

if [[ "${BRENU_PACKAGE_TEST_STAGE:-}" == "" ]]; then
  build=$(cd "$1" && pwd) devsim=$2 version=$3
  shift 3
  optional_programs=("$@")
  command -v dpkg-deb >/dev/null || { echo "package test: not a Debian system (no dpkg-deb): skipped"; exit 77; }
  for tool in cpack lintian desktop-file-validate appstreamcli Xvfb xprop xdotool identify unshare; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/bootstrap"
  done

  work=$(mktemp -d /tmp/brenu-package-test.XXXXXX)
  trap 'rm -rf "$work"' EXIT

  # -- the package, made twice as scripts/package makes it: the same bytes both times
  export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct 2>/dev/null || date -d 2026-01-01 +%s)}
  arch=$(dpkg --print-architecture)
  for out in out again; do
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/$out") >"$work/cpack.log" 2>&1 ||
      fail "cpack failed: $(cat "$work/cpack.log")"
    deb="$work/$out/brenu-search-tools_${version}_${arch}.deb"
    [[ -f "$deb" ]] || fail "no $deb; cpack said: $(cat "$work/cpack.log")"
    sleep 1 # a time stamp taken from the clock would now differ
  done
  cmp -s "$work/out/${deb##*/}" "$deb" || fail "two builds of the package differ: not reproducible"

  field() { dpkg-deb -f "$deb" "$1"; }
  [[ $(field Package) == brenu-search-tools ]] || fail "Package: $(field Package)"
  [[ $(field Version) == "$version" ]] || fail "Version: $(field Version), expected $version"
  [[ $(field Architecture) == "$arch" ]] || fail "Architecture: $(field Architecture)"
  [[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: '$(field Maintainer)'"
  [[ $(field Section) == net ]] || fail "Section: $(field Section)"
  [[ -n $(field Description) ]] || fail "no Description"
  [[ $(field Recommends) == *fonts-wqy-zenhei* ]] || fail "Recommends names no Chinese font: $(field Recommends)"
  # Depends comes from dpkg-shlibdeps: every library the program links, none by hand.
  depends=$(field Depends)
  names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/^ *//; s/ .*//')
  for lib in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5 zlib1g; do
    grep -qxF "$lib" <<<"$names" || fail "Depends lacks $lib: $depends"
  done

  # Exactly these files (directories aside): no simulator, no tests, no benchmarks.
  expected=(
    usr/bin/BrenuSearchTools
    usr/share/applications/com.brenu.BrenuSearchTools.desktop
    usr/share/doc/brenu-search-tools/changelog.gz
    usr/share/doc/brenu-search-tools/copyright
    usr/share/icons/hicolor/128x128/apps/com.brenu.BrenuSearchTools.png
    usr/share/icons/hicolor/256x256/apps/com.brenu.BrenuSearchTools.png
    usr/share/icons/hicolor/48x48/apps/com.brenu.BrenuSearchTools.png
    usr/share/icons/hicolor/scalable/apps/com.brenu.BrenuSearchTools.svg
    usr/share/man/man1/BrenuSearchTools.1.gz
    usr/share/metainfo/com.brenu.BrenuSearchTools.metainfo.xml
    usr/libexec/brenu-search-tools/brenu-link-send
  )
  for program in "${optional_programs[@]}"; do
    expected+=("usr/bin/$program")
  done
  actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
  # A companion program comes with its own manual page; brenu-search also with its
  # metrics service and example alert rules.
  for program in "${optional_programs[@]}"; do
    expected+=("usr/share/man/man1/$program.1.gz")
    if [[ $program == brenu-search ]]; then
      expected+=(usr/lib/systemd/system/brenu-search-exporter.service
                 usr/share/doc/brenu-search-tools/examples/prometheus/brenu-alerts.yml)
    fi
  done
  wanted=$(printf '%s\n' "${expected[@]}" | sort)
  [[ "$actual" == "$wanted" ]] || fail "file list differs (< expected, > in the package):
$(diff <(echo "$wanted") <(echo "$actual") | grep '^[<>]')"
  dpkg-deb -c "$deb" | awk '$2 != "root/root" { bad = 1 } END { exit bad }' || fail "files not owned by root"

  lintian --fail-on error --display-info "$deb" >"$work/lintian.log" 2>&1 || fail "lintian: $(cat "$work/lintian.log")"
  if grep -q 'hardening-' "$work/lintian.log"; then fail "lintian finds the programs unhardened: $(grep hardening- "$work/lintian.log")"; fi

  # -- the unpacked files
  dest="$work/root"
  dpkg-deb -x "$deb" "$dest"
  desktop="$dest/usr/share/applications/com.brenu.BrenuSearchTools.desktop"
  desktop-file-validate "$desktop" || fail "desktop-file-validate refused the menu entry"
  metainfo="$dest/usr/share/metainfo/com.brenu.BrenuSearchTools.metainfo.xml"
  appstreamcli validate --pedantic --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
    fail "appstreamcli: $(cat "$work/appstream.log")"
  for program in BrenuSearchTools "${optional_programs[@]}"; do
    grep -qF "<binary>$program</binary>" "$metainfo" || fail "the AppStream file does not name $program"
  done
  key() { sed -n "s/^$1=//p" "$desktop"; }
  [[ $(key Exec) == BrenuSearchTools && -x "$dest/usr/bin/$(key Exec)" ]] || fail "Exec=$(key Exec) is not the program"
  [[ $(key 'Name\[zh_CN\]') == 'BRENU搜索工具' ]] || fail "Name[zh_CN]=$(key 'Name\[zh_CN\]')"
  [[ $(key Categories) == 'Network;Utility;' ]] || fail "Categories=$(key Categories)"
  for size in 48 128 256; do
    png="$dest/usr/share/icons/hicolor/${size}x${size}/apps/$(key Icon).png"
    [[ -f "$png" ]] || fail "no ${size}px icon named Icon=$(key Icon)"
    [[ $(identify -format '%m %wx%h' "$png") == "PNG ${size}x${size}" ]] || fail "$png: $(identify "$png")"
  done
  zcat "$dest/usr/share/man/man1/BrenuSearchTools.1.gz" | grep -q 'XDG_STATE_HOME' || fail "the manual page does not tell where the log goes"
  [[ $(file -b --mime-type "$dest/usr/share/icons/hicolor/scalable/apps/$(key Icon).svg") == image/svg+xml ]] ||
    fail "the scalable icon is no SVG"
  # One release date for the version: AppStream, the changelog and every manual page.
  released=$(sed -n "s/.*<release version=\"$version\" date=\"\([0-9-]*\)\".*/\1/p" "$metainfo")
  [[ -n "$released" ]] || fail "the AppStream file has no release $version"
  changelog_date=$(zcat "$dest/usr/share/doc/brenu-search-tools/changelog.gz" | sed -n 's/^ -- .*>  //p' | head -n1)
  [[ $(date -u -d "$changelog_date" +%F) == "$released" ]] || fail "changelog date '$changelog_date', release $released"
  for program in BrenuSearchTools "${optional_programs[@]}"; do
    page=$(zcat "$dest/usr/share/man/man1/$program.1.gz")
    [[ $(sed -n 's/^\.TH [^ ]* 1 "\([^"]*\)".*/\1/p' <<<"$page") == "$released" ]] || fail "$program.1 is not dated $released"
    for section in 'EXIT STATUS' SIGNALS FILES EXAMPLES 'SEE ALSO'; do
      grep -q "^\.SH $section\$" <<<"$page" || fail "$program.1 has no $section section"
    done
  done
  zcat "$dest/usr/share/man/man1/BrenuSearchTools.1.gz" | grep -q 'SIGHUP' || fail "the manual page leaves SIGHUP out"

  # -- the unpacked program, in the sandbox
  export BRENU_PACKAGE_TEST_STAGE=workstation
  "$root/scripts/sandbox" \
    --device "exec '$devsim' --device 'serial=PKG-0001,address=10.77.0.2,port=8001' --exit-with-parent --quiet" \
    -- unshare --mount -- "$0" "$work" "$(key StartupWMClass)"
  exit 0 # (set -e: a failure above has ended the test with its status)
fi

# -- Workstation side of the sandbox, in a mount namespace of its own.
work=$1 wmclass=$2
dest="$work/root"
bin="$dest/usr/bin"
mount --bind "$bin" "$bin"
mount -o remount,bind,ro "$bin"
if touch "$bin/probe" 2>/dev/null; then fail "the program folder could still be written"; fi

unset QT_QPA_PLATFORM
export QT_XCB_GL_INTEGRATION=none
export LSAN_OPTIONS="suppressions=$root/tests/app/lsan.supp:print_suppressions=0"
# The X server's socket folder is private to this mount namespace and the server
# takes no lock file: X servers of other tests, each in a network namespace of its
# own, cannot take its display number away or unlink its socket.
[[ -d /tmp/.X11-unix ]] || mkdir -m 1777 /tmp/.X11-unix
mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
exec 3< <(exec Xvfb -displayfd 1 -nolock -screen 0 1024x768x24 -nolisten tcp 2>"$work/xvfb.log")
xvfb=$!
read -r -t 10 display <&3 || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
export DISPLAY=":$display"
tool=""
cleanup() {
  [[ -n "$tool" ]] && { kill -TERM "$tool" 2>/dev/null; wait "$tool" 2>/dev/null; }
  kill "$xvfb" 2>/dev/null; wait "$xvfb" 2>/dev/null
  return 0
}
trap cleanup EXIT

mkdir -p "$work/cwd" # no BrenuSearchTools.ico here: the built-in icon must serve
cd "$work/cwd"
# Waits up to 10 s for the tool's visible main window; prints its id.
main_window() {
  local id
  for _ in $(seq 100); do
    id=$(xdotool search --onlyvisible --pid "$tool" --name 'BRENU' 2>/dev/null | head -n1 || true)
    [[ -n "$id" ]] && { echo "$id"; return 0; }
    kill -0 "$tool" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
stop_tool() { # $1: the tool's output file
  kill -TERM "$tool" 2>/dev/null || true
  local status=0
  wait "$tool" || status=$?
  tool=""
  ((status == 0)) || fail "the tool ended with status $status on SIGTERM: $(cat "$1")"
}

# 1. No folder for the log anywhere: one line on stderr, and the window all the same.
touch "$work/not-a-dir"
HOME="$work/not-a-dir/home" XDG_STATE_HOME="$work/not-a-dir/state" "$bin/BrenuSearchTools" 2>"$work/nolog.err" &
tool=$!
main_window >/dev/null || fail "without a log folder the window did not appear: $(cat "$work/nolog.err")"
stop_tool "$work/nolog.err"
[[ $(grep -c 'no log is written' "$work/nolog.err") == 1 ]] || fail "expected one notice, stderr was: $(cat "$work/nolog.err")"
grep -q "$work/not-a-dir/state/BrenuSearchTools/log/" "$work/nolog.err" || fail "the notice names no folder: $(cat "$work/nolog.err")"

# 2. As an installed program started by a user.
export HOME="$work/home" XDG_STATE_HOME="$work/state"
mkdir -p "$HOME"
"$bin/BrenuSearchTools" >"$work/tool.out" 2>&1 &
tool=$!
window=$(main_window) || fail "no main window: $(cat "$work/tool.out")"
logdir="$XDG_STATE_HOME/BrenuSearchTools/log"
found=""
for _ in $(seq 100); do
  grep -qs PKG-0001 "$logdir"/*/BrenuSearchTools_UdpCast.log && { found=1; break; }
  sleep 0.1
done
[[ -n "$found" ]] || fail "no search answer logged under $logdir: $(ls -R "$work/state" 2>&1); tool: $(cat "$work/tool.out")"
[[ $(ls "$logdir") =~ ^[0-9]{8}$ ]] || fail "the log is not in one day folder: $(ls "$logdir")"

# WM_CLASS(STRING) = "BrenuSearchTools", "BrenuSearchTools": the class (second) is
# what StartupWMClass names.
class=$(xprop -id "$window" WM_CLASS | sed -n 's/.*= "[^"]*", "\([^"]*\)"$/\1/p')
[[ -n "$wmclass" && "$class" == "$wmclass" ]] || fail "window class '$class', menu entry StartupWMClass '$wmclass'"
icon=$(xprop -id "$window" _NET_WM_ICON)
[[ "$icon" == *"Icon (48 x 48)"* ]] || fail "the window has no 48x48 icon: ${icon:0:300}"
stop_tool "$work/tool.out"
echo "package test: package, files, menu entry, icon and XDG log all as expected"
