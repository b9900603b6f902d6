#!/usr/bin/env bash
# The Debian packages as a user gets them: brenu-search-tools (the window) and
# brenu-search (the command line, the metrics service, the link-layer helper). Builds
# them from debian/ with scripts/package (an upstream tarball and a 3.0 (quilt)
# source package, dpkg-buildpackage, lintian with pedantic tags on source and
# binaries), then a second time from that source package, unpacked in a folder of
# another name with another umask, and compares the bytes (reproducible packages).
# Both builds run with DEB_BUILD_OPTIONS=nocheck: the tests debian/rules would run
# are run by this same test suite, and building them twice more would cost minutes.
# Checks the control fields and file lists (the command-line package links no Qt
# GUI or Widgets), validates the desktop entry and the AppStream file, then:
#  - upgrades from the single package of 1.0.0 (made from this build's files and
#    that version's control files, tests/packaging/before-split/) to the two,
#    reconfigures, removes and purges them with dpkg in a throw-away copy of this
#    machine's root (an overlay in a mount namespace of its own, /run empty, so
#    that no service manager is reached and none is started; a policy-rc.d refuses
#    every start too): dpkg must not fail, the helper's privilege granted under 1.0.0
#    must survive the upgrade, removal must take the statoverride, and nothing of
#    the packages may be left after the purge (only as root; skipped otherwise);
#  - unpacks them with dpkg-deb -x into a temporary root and starts the unpacked
#    program there the way an installed one runs: from a folder it cannot write (a
#    read-only bind mount: root could write through mere permissions), with HOME
#    and XDG_STATE_HOME in the temporary root, on a headless X server, in the network
#    sandbox with brenu-devsim playing one device. The log must appear in the XDG
#    state folder after one search round, and the window must carry the built-in
#    icon and the window class the menu entry names. A second start with no writable
#    log folder at all must say so once on standard error and still show the window.
#
#   package_test.sh <build dir> <devsim> <version> <optional program>...
#
# Exit status 77 (skipped) only when this is no Debian system (no dpkg-buildpackage).
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
  # The programs a user starts (on the PATH, named in AppStream, with a manual page);
  # the link-layer helper is none of them.
  user_programs=(BrenuSearchTools)
  for program in "${optional_programs[@]}"; do
    [[ $program == brenu-link-send ]] || user_programs+=("$program")
  done
  command -v dpkg-buildpackage >/dev/null || { echo "package test: not a Debian system (no dpkg-buildpackage): skipped"; exit 77; }
  for tool in lintian desktop-file-validate appstreamcli Xvfb xprop xdotool identify unshare; do
    command -v "$tool" >/dev/null || fail "$tool is missing: run scripts/bootstrap"
  done

  work=$(mktemp -d /tmp/brenu-package-test.XXXXXX)
  trap 'rm -rf "$work"' EXIT

  # -- the packages, built twice: by scripts/package, then from the source package it
  # made, unpacked in a folder of another name and length, with umask 002 instead
  # of 022 (binary packages only: the second build is there to be compared).
  debversion=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
  [[ ${debversion%-*} == "$version" ]] || fail "debian/changelog is at $debversion, CMake at $version"
  export DEB_BUILD_OPTIONS=nocheck
  started=$SECONDS
  (umask 022 && TMPDIR="$work" "$root/scripts/package" --out "$work/out") >"$work/package.log" 2>&1 ||
    fail "scripts/package failed: $(tail -40 "$work/package.log")"
  first=$((SECONDS - started))
  again="$work/second-build-folder/brenu-search-tools-$version"
  mkdir -p "${again%/*}"
  (umask 002 && dpkg-source -x "$work/out/brenu-search-tools_${debversion}.dsc" "$again" &&
     cd "$again" && dpkg-buildpackage -us -uc -b) >"$work/again.log" 2>&1 ||
    fail "the second build failed: $(tail -40 "$work/again.log")"
  mkdir "$work/again"
  mv "${again%/*}"/*.deb "$work/again/"
  echo "package test: built in ${first} s, again in $((SECONDS - started - first)) s"
  [[ -f "$work/out/brenu-search-tools_${version}.orig.tar.xz" ]] || fail "no upstream tarball: $(ls "$work/out")"
  tar -tJf "$work/out/brenu-search-tools_${version}.orig.tar.xz" | grep -q "^brenu-search-tools-$version/debian/" &&
    fail "the upstream tarball holds debian/"
  arch=$(dpkg --print-architecture)
  deb="$work/out/brenu-search-tools_${debversion}_${arch}.deb"
  clideb="$work/out/brenu-search_${debversion}_${arch}.deb"
  [[ -f "$deb" && -f "$clideb" ]] || fail "no $deb and $clideb: $(ls "$work/out")"
  for made in "$work"/again/*.deb; do
    cmp -s "$made" "$work/out/${made##*/}" ||
      fail "${made##*/} differs between the two builds: not reproducible"
  done
  [[ $(ls "$work"/again/*.deb | wc -l) == 4 ]] || fail "expected two packages and their debug symbols: $(ls "$work/again")"
  grep -E '^[EWIPO]: ' "$work/package.log" && fail "lintian: $(grep -E '^[EWIPO]: ' "$work/package.log")"
  if grep -q 'hardening-' "$work/package.log"; then fail "lintian finds the programs unhardened: $(grep hardening- "$work/package.log")"; fi

  field() { dpkg-deb -f "$1" "$2"; }
  # The package names in a field, one a line.
  names() { tr ',|' '\n\n' <<<"$(field "$1" "$2")" | sed 's/^ *//; s/ .*//'; }
  for d in "$deb" "$clideb"; do
    [[ $(field "$d" Version) == "$debversion" ]] || fail "Version: $(field "$d" Version), expected $debversion"
    [[ $(field "$d" Architecture) == "$arch" ]] || fail "Architecture: $(field "$d" Architecture)"
    [[ $(field "$d" Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: '$(field "$d" Maintainer)'"
    [[ $(field "$d" Section) == net ]] || fail "Section: $(field "$d" Section)"
    [[ -n $(field "$d" Description) ]] || fail "no Description"
  done
  [[ $(field "$deb" Package) == brenu-search-tools && $(field "$clideb" Package) == brenu-search ]] ||
    fail "Package: $(field "$deb" Package), $(field "$clideb" Package)"
  # The Qt the packages are built with is the one debian/rules names (BRENU_QT_MAJOR);
  # its libraries, and not the other version's, must be what they depend on, and
  # debian/control must build-depend on that version's development package.
  qt=$(sed -n 's/.*-DBRENU_QT_MAJOR=\([0-9]\+\).*/\1/p' "$root/debian/rules" | sort -u)
  case $qt in
    6) qt_core=libqt6core6 qt_gui=(libqt6gui6 libqt6widgets6) qt_other=libqt5core5a qt_dev=qt6-base-dev
       qt_recommends=(qt6-translations-l10n qt6-wayland) ;;
    5) qt_core=libqt5core5a qt_gui=(libqt5gui5 libqt5widgets5) qt_other=libqt6core6 qt_dev=qtbase5-dev
       qt_recommends=(qttranslations5-l10n qtwayland5) ;;
    *) fail "debian/rules names no single Qt version (-DBRENU_QT_MAJOR=6 or 5): '$qt'" ;;
  esac
  grep -qE "^[[:space:]]*(Build-Depends:)?[[:space:]]*$qt_dev\b" "$root/debian/control" ||
    fail "debian/rules builds with Qt $qt, but debian/control does not build-depend on $qt_dev"
  for recommended in fonts-wqy-zenhei "${qt_recommends[@]}" xdg-utils; do
    [[ $(field "$deb" Recommends) == *"$recommended"* ]] || fail "Recommends lacks $recommended: $(field "$deb" Recommends)"
  done
  [[ $(field "$clideb" Suggests) == *prometheus-node-exporter* ]] || fail "Suggests: $(field "$clideb" Suggests)"
  # Depends comes from dpkg-shlibdeps: every library the programs link, none by hand.
  for lib in libc6 libstdc++6 "$qt_core" "${qt_gui[@]}" zlib1g brenu-search; do
    names "$deb" Depends | grep -qxF "$lib" || fail "brenu-search-tools: Depends lacks $lib: $(field "$deb" Depends)"
  done
  [[ $(field "$deb" Depends) == *"brenu-search (= $debversion)"* ]] || fail "the window does not depend on this brenu-search: $(field "$deb" Depends)"
  for lib in libc6 libstdc++6 "$qt_core" adduser libcap2-bin debconf; do
    names "$clideb" Depends | grep -qxF "$lib" || fail "brenu-search: Depends lacks $lib: $(field "$clideb" Depends)"
  done
  for lib in "${qt_gui[@]}" "${qt_recommends[@]}" fonts-wqy-zenhei; do
    if names "$clideb" Depends | grep -qxF "$lib"; then fail "brenu-search depends on $lib: $(field "$clideb" Depends)"; fi
  done
  for d in "$deb" "$clideb"; do
    if names "$d" Depends | grep -qxF "$qt_other"; then fail "built with Qt $qt, ${d##*/} depends on $qt_other: $(field "$d" Depends)"; fi
  done
  for relation in Breaks Replaces; do
    [[ $(field "$clideb" "$relation") == "brenu-search-tools (<< 1.0.0-1)" ]] ||
      fail "brenu-search $relation: '$(field "$clideb" "$relation")'"
  done
  if grep -qxF "$qt_other" <<<"$names"; then fail "built with Qt $qt, the package depends on $qt_other: $depends"; fi

  # Exactly these files (directories aside): no simulator, no tests, no benchmarks.
  window_files=(
    usr/bin/BrenuSearchTools
    usr/share/applications/com.brenu.BrenuSearchTools.desktop
    usr/share/doc/brenu-search-tools/changelog.Debian.gz
    usr/share/doc/brenu-search-tools/copyright
    usr/share/icons/hicolor/128x128/apps/com.brenu.BrenuSearchTools.png
    usr/share/icons/hicolor/256x256/apps/com.brenu.BrenuSearchTools.png
    usr/share/icons/hicolor/48x48/apps/com.brenu.BrenuSearchTools.png
    usr/share/icons/hicolor/scalable/apps/com.brenu.BrenuSearchTools.svg
    usr/share/man/man1/BrenuSearchTools.1.gz
    usr/share/metainfo/com.brenu.BrenuSearchTools.metainfo.xml
  )
  # The firewall profiles that open the answers' port come with the command line,
  # which every search needs (the window depends on it).
  cli_files=(
    usr/share/doc/brenu-search/changelog.Debian.gz
    usr/share/doc/brenu-search/copyright
    usr/share/lintian/overrides/brenu-search
    etc/ufw/applications.d/brenu-search-tools
    usr/lib/firewalld/services/brenu-search-tools.xml
  )
  for program in "${optional_programs[@]}"; do
    case $program in
      brenu-link-send)
        cli_files+=(usr/libexec/brenu-search-tools/brenu-link-send) ;;
      brenu-search)
        # with its manual page, its metrics service and example alert rules
        cli_files+=(usr/bin/brenu-search usr/share/man/man1/brenu-search.1.gz
                    "$(pkg-config --variable=systemdsystemunitdir systemd | sed 's,^/,,')/brenu-search-exporter.service"
                    etc/default/brenu-search-exporter
                    usr/share/doc/brenu-search/examples/prometheus/brenu-alerts.yml) ;;
      *) window_files+=("usr/bin/$program" "usr/share/man/man1/$program.1.gz") ;;
    esac
  done
  for d in "$deb" "$clideb"; do
    if [[ $d == "$deb" ]]; then wanted=$(printf '%s\n' "${window_files[@]}" | sort)
    else wanted=$(printf '%s\n' "${cli_files[@]}" | sort); fi
    actual=$(dpkg-deb -c "$d" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
    [[ "$actual" == "$wanted" ]] || fail "file list of ${d##*/} differs (< expected, > in the package):
$(diff <(echo "$wanted") <(echo "$actual") | grep '^[<>]')"
    dpkg-deb -c "$d" | awk '$2 != "root/root" { bad = 1 } END { exit bad }' || fail "files not owned by root in ${d##*/}"
  done

  conffiles=$(dpkg-deb --ctrl-tarfile "$clideb" | tar -xO ./conffiles | sort)
  wanted=$(printf '%s\n' /etc/default/brenu-search-exporter /etc/ufw/applications.d/brenu-search-tools | sort)
  [[ "$conffiles" == "$wanted" ]] || fail "conffiles: $conffiles"

  # -- upgrade from 1.0.0, reconfigure, remove, purge (as root only)
  if [[ $(id -u) -eq 0 ]]; then
    BRENU_PACKAGE_TEST_STAGE=dpkg unshare --mount --propagation private -- "$0" "$work" "$deb" "$clideb"
  else
    echo "package test: not root: the dpkg upgrade/remove/purge check is skipped"
  fi

  # -- the unpacked files
  dest="$work/root"
  dpkg-deb -x "$deb" "$dest"
  dpkg-deb -x "$clideb" "$dest"
  desktop="$dest/usr/share/applications/com.brenu.BrenuSearchTools.desktop"
  desktop-file-validate "$desktop" || fail "desktop-file-validate refused the menu entry"
  metainfo="$dest/usr/share/metainfo/com.brenu.BrenuSearchTools.metainfo.xml"
  appstreamcli validate --pedantic --no-net "$metainfo" >"$work/appstream.log" 2>&1 ||
    fail "appstreamcli: $(cat "$work/appstream.log")"
  for program in "${user_programs[@]}"; do
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
  # One release date for the version: AppStream and every manual page; the Debian
  # changelog's newest entry (a packaging revision of it) is not older.
  released=$(sed -n "s/.*<release version=\"$version\" date=\"\([0-9-]*\)\".*/\1/p" "$metainfo")
  [[ -n "$released" ]] || fail "the AppStream file has no release $version"
  changelog_date=$(zcat "$dest/usr/share/doc/brenu-search-tools/changelog.Debian.gz" | sed -n 's/^ -- .*>  //p' | head -n1)
  [[ ! $(date -u -d "$changelog_date" +%F) < "$released" ]] || fail "changelog date '$changelog_date' before the release $released"
  for program in "${user_programs[@]}"; do
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

# -- dpkg in a throw-away copy of this machine's root, in a mount namespace of its own.
if [[ "$BRENU_PACKAGE_TEST_STAGE" == dpkg ]]; then
  work=$1 deb=$2 clideb=$3
  ov="$work/overlay"
  mkdir "$ov"
  mount -t tmpfs tmpfs "$ov"
  mkdir "$ov/upper" "$ov/work" "$ov/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$ov/upper,workdir=$ov/work" "$ov/root"
  r="$ov/root"
  mount --rbind /dev "$r/dev"
  mount --rbind /proc "$r/proc"
  mount -t tmpfs tmpfs "$r/run" # no /run/systemd/system: no service manager to reach
  mount -t tmpfs tmpfs "$r/tmp"
  in_root() { chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
  if in_root dpkg-query -W brenu-search-tools brenu-search 2>/dev/null | grep -q .; then
    echo "package test: a brenu package is installed on this machine: the dpkg check is skipped"
    exit 0
  fi
  printf '#!/bin/sh\nexit 101\n' >"$r/usr/sbin/policy-rc.d"
  chmod 755 "$r/usr/sbin/policy-rc.d"
  mkdir -p "$r/var/lib/prometheus/node-exporter"
  helper=/usr/libexec/brenu-search-tools/brenu-link-send
  unit=brenu-search-exporter.service
  unitdir=$(pkg-config --variable=systemdsystemunitdir systemd)
  wants="$r/etc/systemd/system/multi-user.target.wants/$unit"
  link="$r/var/lib/prometheus/node-exporter/brenu-search.prom"
  # answer PACKAGE true|false: the link-layer helper question, as that package asks it.
  answer() { echo "$1 $1/link-send-group boolean $2" | in_root debconf-set-selections; }
  dpkg_log="$work/dpkg.log"
  run_dpkg() { in_root "$@" >>"$dpkg_log" 2>&1 || fail "$* failed: $(tail -20 "$dpkg_log")"; }

  # 1.0.0, the single package: this build's files (the helper a stand-in when this
  # build has none) with that version's control files and maintainer scripts.
  old="$work/old"
  dpkg-deb -x "$deb" "$old"
  dpkg-deb -x "$clideb" "$old"
  mkdir -p "$old/usr/share/doc/brenu-search-tools"
  mv "$old/usr/share/doc/brenu-search/examples" "$old/usr/share/doc/brenu-search-tools/"
  rm -rf "$old/usr/share/doc/brenu-search" "$old/usr/share/lintian/overrides/brenu-search"
  if [[ ! -e "$old$helper" ]]; then
    mkdir -p "$old${helper%/*}"
    printf '#!/bin/sh\necho stand-in\n' >"$old$helper"
    chmod 755 "$old$helper"
  fi
  cp -r "$here/before-split" "$old/DEBIAN"
  chmod 755 "$old"/DEBIAN/{config,postinst,postrm,prerm}
  dpkg-deb --root-owner-group -b "$old" "$r/tmp/old.deb" >/dev/null
  cp "$deb" "$r/tmp/window.deb"
  cp "$clideb" "$r/tmp/cli.deb"

  granted() {
    [[ $(in_root stat -c '%U:%G %a' "$helper") == "root:brenu 750" ]] || fail "helper: $(in_root stat -c '%U:%G %a' "$helper")"
    in_root dpkg-statoverride --list "$helper" >/dev/null || fail "no statoverride for the helper"
    [[ $(in_root getcap "$helper") == *cap_net_raw=ep* ]] || fail "no capability: $(in_root getcap -v "$helper" 2>&1; in_root stat "$helper"; tail "$dpkg_log")"
  }
  withdrawn() {
    [[ $(in_root stat -c '%U:%G %a' "$helper") == "root:root 755" ]] || fail "helper: $(in_root stat -c '%U:%G %a' "$helper")"
    if in_root dpkg-statoverride --list "$helper" >/dev/null; then fail "the statoverride stayed"; fi
    [[ -z $(in_root getcap "$helper") ]] || fail "the capability stayed: $(in_root getcap "$helper")"
  }

  # 1. 1.0.0 installed, the group allowed to use the helper, the service enabled
  # (the link systemctl enable makes) and its file written.
  answer brenu-search-tools true
  run_dpkg dpkg -i /tmp/old.deb
  granted
  mkdir -p "${wants%/*}"
  ln -s "$unitdir/$unit" "$wants"
  mkdir -p "$r/run/brenu-search-exporter"
  touch "$r/run/brenu-search-exporter/brenu-search.prom"
  ln -s /run/brenu-search-exporter/brenu-search.prom "$link"

  # 2. Upgrade to the two packages: the privilege granted before stays granted (no
  # question was answered for brenu-search), the unit stays enabled, the settings
  # file now belongs to brenu-search.
  run_dpkg dpkg -i /tmp/window.deb /tmp/cli.deb
  installed=$(in_root dpkg-query -W -f '${Package} ${Status}\n' brenu-search-tools brenu-search | sort)
  [[ "$installed" == "brenu-search install ok installed"$'\n'"brenu-search-tools install ok installed" ]] ||
    fail "after the upgrade: $(in_root dpkg-query -W -f '${Package} ${Status}\n' brenu-search-tools brenu-search)"
  [[ -L "$wants" ]] || fail "the upgrade disabled the unit"
  granted
  [[ $(in_root dpkg -S /etc/default/brenu-search-exporter) == "brenu-search: /etc/default/brenu-search-exporter" ]] ||
    fail "the settings file belongs to: $(in_root dpkg -S /etc/default/brenu-search-exporter)"

  # The autopkgtest's smoke test, on the packages as installed.
  cp "$root/debian/tests/smoke" "$r/tmp/smoke"
  in_root /tmp/smoke >>"$dpkg_log" 2>&1 || fail "debian/tests/smoke: $(tail -5 "$dpkg_log")"

  # 3. Reconfigured both ways; an override the administrator made, and its
  # capability, are left alone.
  answer brenu-search false
  run_dpkg dpkg-reconfigure -fnoninteractive brenu-search
  withdrawn
  in_root dpkg-statoverride --update --add root root 0700 "$helper"
  in_root setcap cap_net_raw+ep "$helper"
  run_dpkg dpkg-reconfigure -fnoninteractive brenu-search
  [[ $(in_root getcap "$helper") == *cap_net_raw=ep* && $(in_root stat -c '%a' "$helper") == 700 ]] ||
    fail "the administrator's override was changed: $(in_root stat -c '%U:%G %a' "$helper") $(in_root getcap "$helper")"
  in_root dpkg-statoverride --remove "$helper"
  in_root setcap -r "$helper"
  answer brenu-search true
  run_dpkg dpkg-reconfigure -fnoninteractive brenu-search
  granted

  # 4. Remove: the programs, the link, the last file and the statoverride go; the
  # settings file stays.
  run_dpkg dpkg -r brenu-search-tools brenu-search
  [[ ! -e "$r/usr/bin/brenu-search" && ! -e "$r/usr/bin/BrenuSearchTools" && ! -e "$r$helper" ]] ||
    fail "programs left after remove"
  [[ ! -L "$link" && ! -e "$r/run/brenu-search-exporter" ]] || fail "the exporter's link or file stayed"
  if grep -q brenu "$r/var/lib/dpkg/statoverride"; then fail "statoverride left after remove: $(cat "$r/var/lib/dpkg/statoverride")"; fi
  [[ -f "$r/etc/default/brenu-search-exporter" ]] || fail "remove took the settings file"

  # 5. Purge: nothing of the packages is left; the group "brenu" stays by design.
  run_dpkg dpkg -P brenu-search-tools brenu-search
  left=$(cd "$ov/upper" && find . -name '*brenu*' ! -path './tmp/*')
  [[ -z "$left" ]] || fail "left after purge: $left"
  for package in brenu-search-tools brenu-search; do
    [[ -z $(in_root debconf-show "$package") ]] || fail "debconf still holds: $(in_root debconf-show "$package")"
  done
  if grep -qi 'warning\|error' "$dpkg_log"; then fail "dpkg or a maintainer script complained: $(grep -i 'warning\|error' "$dpkg_log")"; fi
  echo "package test: upgrade from 1.0.0, reconfigure both ways, remove and purge passed"
  exit 0
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
# -noreset: the server must not reset when the last client leaves (the first start of
# the tool below), or the next start can meet it while it resets and find no display.
exec 3< <(exec Xvfb -displayfd 1 -nolock -noreset -screen 0 1024x768x24 -nolisten tcp 2>"$work/xvfb.log")
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
