#!/usr/bin/env bash
# The packages under a real service manager, with Debian's node_exporter: proof that
# what `apt install` and `systemctl enable --now brenu-search-exporter` give reaches
# Prometheus. Too slow for every test run (about a minute, most of it booting and
# waiting for search rounds and a restart), so it is run by hand, as root:
#
#   tests/packaging/systemd_scrape.sh <folder with the .debs> <brenu-devsim>
#
# It boots systemd as init of a system container: an overlay of this machine's root
# (which must have systemd and prometheus-node-exporter installed) in new mount,
# PID, network, cgroup, UTS and IPC namespaces, the packages installed with dpkg,
# and the units that touch kernel-wide state masked. The container's network holds
# loopback and one veth pair, whose far end lies in a namespace of the container
# where brenu-devsim plays one device: no datagram leaves the container. Then:
#  1. node_exporter and the exporter are started by systemctl; node_exporter (user
#     prometheus) must serve brenu_device_up for the device, with
#     node_textfile_scrape_error 0;
#  2. the exporter is killed: systemd restarts it 10 s later, and node_exporter
#     serves the device again;
#  3. the packages are purged under the running service manager: nothing of them
#     may be left under /run or /var/lib.
# One setting differs from a real system: a process in a chroot may not create user
# namespaces, so the unit's PrivateUsers=yes is turned off by a drop-in here.
set -eEuo pipefail
trap 'echo "systemd scrape: line $LINENO failed: $BASH_COMMAND" >&2' ERR
export PATH="$PATH:/usr/sbin:/sbin"
fail() { echo "systemd scrape: $*" >&2; exit 1; }

# -- PID 1 of the new namespaces: the overlay root, the packages, then systemd.
if [[ "${BRENU_SCRAPE_STAGE:-}" == init ]]; then
  debs=$1 work=$2
  mount --make-rprivate /
  ov="$work/ov"
  mkdir -p "$ov"
  mount -t tmpfs tmpfs "$ov"
  mkdir "$ov/upper" "$ov/work" "$ov/root"
  mount -t overlay overlay -o "lowerdir=/,upperdir=$ov/upper,workdir=$ov/work" "$ov/root"
  r="$ov/root"
  mount -t proc proc "$r/proc"
  mount --bind "$r/proc/sys" "$r/proc/sys"
  mount -o remount,bind,ro "$r/proc/sys"
  mount -t sysfs -o ro sysfs "$r/sys"
  mount -t tmpfs -o mode=755 tmpfs "$r/sys/fs/cgroup"
  mkdir "$r/sys/fs/cgroup/systemd" "$r/sys/fs/cgroup/unified"
  mount -t cgroup -o none,name=systemd cgroup "$r/sys/fs/cgroup/systemd"
  mount -t cgroup2 cgroup2 "$r/sys/fs/cgroup/unified"
  mount --rbind /dev "$r/dev"
  mount -t tmpfs -o mode=755 tmpfs "$r/run"
  mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
  ip link set lo up
  ip link add v0 type veth peer name v1
  ip addr add 10.77.0.1/24 dev v0
  ip link set v0 up
  # The packages, installed as apt would (no service started: policy-rc.d).
  printf '#!/bin/sh\nexit 101\n' >"$r/usr/sbin/policy-rc.d"
  chmod 755 "$r/usr/sbin/policy-rc.d"
  mkdir "$r/tmp/debs"
  cp "$debs"/brenu-search*.deb "$r/tmp/debs/"
  rm -f "$r"/tmp/debs/*dbgsym*
  chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    sh -c 'dpkg -i /tmp/debs/*.deb' >"$work/dpkg.log" 2>&1
  rm -f "$r/usr/sbin/policy-rc.d"
  cat >"$r/etc/systemd/system/brenu-scrape.target" <<'T'
[Unit]
Description=a target that pulls nothing else
DefaultDependencies=no
T
  for u in systemd-sysctl.service systemd-modules-load.service systemd-timesyncd.service \
           systemd-binfmt.service proc-sys-fs-binfmt_misc.automount proc-sys-fs-binfmt_misc.mount \
           systemd-udevd.service systemd-udev-trigger.service systemd-udev-settle.service \
           systemd-pstore.service systemd-remount-fs.service swap.target e2scrub_reap.service \
           cron.service systemd-hwdb-update.service systemd-random-seed.service \
           getty.target console-getty.service apt-daily.timer apt-daily-upgrade.timer \
           systemd-networkd.service systemd-resolved.service networking.service ifupdown-pre.service \
           systemd-networkd-wait-online.service systemd-firstboot.service systemd-sysusers.service \
           systemd-tmpfiles-clean.timer man-db.timer fstrim.timer dpkg-db-backup.timer e2scrub_all.timer \
           systemd-journal-flush.service; do
    ln -sf /dev/null "$r/etc/systemd/system/$u"
  done
  # This machine masks node_exporter so that nothing of it listens outside a
  # sandbox; the container is one.
  rm -f "$r/etc/systemd/system/prometheus-node-exporter.service"
  mkdir -p "$r/etc/systemd/system/brenu-search-exporter.service.d"
  printf '[Service]\nPrivateUsers=no\n' >"$r/etc/systemd/system/brenu-search-exporter.service.d/chroot.conf"
  echo ready >"$work/ready"
  exec chroot "$r" setpriv --bounding-set -sys_module,-sys_time,-sys_boot,-wake_alarm,-syslog,-sys_rawio,-audit_control,-mac_admin,-mac_override \
    env container=brenu-scrape /lib/systemd/systemd --unit=brenu-scrape.target --log-target=console --log-level=info
fi

# -- This machine's side.
[[ $# -eq 2 ]] || { echo "usage: systemd_scrape.sh <folder with the .debs> <brenu-devsim>" >&2; exit 2; }
debs=$(cd "$1" && pwd) devsim=$(realpath "$2")
[[ $(id -u) -eq 0 ]] || fail "run it as root"
ls "$debs"/brenu-search*.deb >/dev/null 2>&1 || fail "no brenu-search*.deb in $debs"
for tool in /lib/systemd/systemd prometheus-node-exporter curl unshare nsenter; do
  command -v "$tool" >/dev/null || fail "$tool is missing"
done
started=$SECONDS
work=$(mktemp -d /tmp/brenu-systemd-scrape.XXXXXX)
group=brenu-scrape-$$
init=""
cleanup() {
  if [[ -n "$init" ]] && kill -0 "$init" 2>/dev/null; then
    kill -TERM "$init" 2>/dev/null || true # systemd as init: a clean shutdown
    for _ in $(seq 100); do kill -0 "$init" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$init" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  for h in systemd unified; do
    [[ -d /sys/fs/cgroup/$h/$group ]] && find "/sys/fs/cgroup/$h/$group" -depth -type d -exec rmdir {} \; 2>/dev/null
  done
  umount -l "$work/ov" 2>/dev/null || true
  rm -rf "$work" "$work".*
}
trap cleanup EXIT
for h in systemd unified; do mkdir -p "/sys/fs/cgroup/$h/$group"; done
BRENU_SCRAPE_STAGE=init bash -c '
  echo $$ >/sys/fs/cgroup/systemd/'"$group"'/cgroup.procs
  echo $$ >/sys/fs/cgroup/unified/'"$group"'/cgroup.procs
  exec unshare --mount --pid --fork --net --cgroup --uts --ipc --propagation private "$0" "$1" "$2"' \
  "$(realpath "$0")" "$debs" "$work" >"$work.console" 2>&1 </dev/null &
unshare_pid=$!
for _ in $(seq 300); do [[ -e "$work/ready" ]] && break; sleep 0.2; done
[[ -e "$work/ready" ]] || fail "the container did not come up: $(tail -20 "$work.console"; cat "$work/dpkg.log" 2>/dev/null)"
for _ in $(seq 50); do
  init=$(cat "/proc/$unshare_pid/task/$unshare_pid/children" 2>/dev/null | awk '{print $1}')
  [[ -n "$init" && $(cat "/proc/$init/comm" 2>/dev/null) == systemd ]] && break
  sleep 0.2
done
[[ $(cat "/proc/$init/comm" 2>/dev/null) == systemd ]] || fail "no systemd as the container's init: $(tail -20 "$work.console")"
in_ctr() { nsenter -t "$init" -a -r -w "$@"; }
state=""
for _ in $(seq 150); do
  state=$(in_ctr systemctl is-system-running 2>/dev/null || true)
  [[ $state == running || $state == degraded ]] && break
  sleep 0.2
done
[[ $state == running || $state == degraded ]] || fail "systemd is '$state': $(tail -20 "$work.console")"
echo "systemd scrape: container up in $((SECONDS - started)) s; $(in_ctr dpkg-query -W 'brenu-search*' | tr '\t' ' ' | paste -sd, -)"

# One simulated device in a namespace of the container, at the far end of the veth.
in_ctr ip netns add dev
in_ctr ip link set v1 netns dev
in_ctr ip -n dev addr add 10.77.0.2/24 dev v1
in_ctr ip -n dev link set v1 up
in_ctr ip -n dev link set lo up
in_ctr ip netns exec dev "$devsim" --quiet \
  --device 'serial=CTR-0001,address=10.77.0.2,port=8000,mac=02:00:00:00:00:01' >"$work.devsim" 2>&1 &

in_ctr systemctl start prometheus-node-exporter.service
in_ctr systemctl enable --now brenu-search-exporter.service 2>&1 | sed 's/^/  /'
scrape() { in_ctr curl -sf --max-time 2 http://127.0.0.1:9100/metrics 2>/dev/null || true; }
up='brenu_device_up{mac="02:00:00:00:00:01",serial="CTR-0001"} 1'
# Waits up to $1 s for the device in node_exporter's answer.
await_device() {
  local since=$SECONDS
  while ((SECONDS - since < $1)); do
    scrape >"$work.scrape"
    grep -qxF "$up" "$work.scrape" && return 0
    sleep 0.5
  done
  fail "no '$up' after $1 s; node_exporter serves: $(grep -E '^(brenu_|node_textfile)' "$work.scrape")
link: $(in_ctr ls -l /var/lib/prometheus/node-exporter/ 2>&1)
runtime folder: $(in_ctr ls -ld /run/brenu-search-exporter /run/private 2>&1)
node_exporter: $(in_ctr journalctl -u prometheus-node-exporter -n 5 --no-pager 2>&1)
exporter: $(in_ctr journalctl -u brenu-search-exporter -n 10 --no-pager 2>&1)"
}

# 1. Published: the device up, the file read without error.
t=$SECONDS
await_device 30
grep -qx 'node_textfile_scrape_error 0' "$work.scrape" || fail "node_textfile_scrape_error: $(grep node_textfile_scrape_error "$work.scrape")"
echo "systemd scrape: node_exporter serves the device $((SECONDS - t)) s after enable --now:"
grep -E '^brenu_device_up|^node_textfile_mtime_seconds' "$work.scrape" | sed 's/^/  /'
in_ctr sh -c 'ls -l /var/lib/prometheus/node-exporter/; stat -c "%F %U %a %n" /run/brenu-search-exporter' | sed 's/^/  /'

# 2. A failure and the restart 10 s later: the link follows, the device comes back.
in_ctr systemctl kill -s KILL brenu-search-exporter.service
sleep 1
scrape >"$work.scrape"
if grep -qxF "$up" "$work.scrape"; then fail "the device is still served from a killed exporter's file"; fi
t=$SECONDS
await_device 30
echo "systemd scrape: killed, restarted by systemd and served again after $((SECONDS - t)) s" \
     "(restarts: $(in_ctr systemctl show -P NRestarts brenu-search-exporter.service))"

# 3. Purge under the running service manager: nothing left under /run or /var/lib.
in_ctr env DEBIAN_FRONTEND=noninteractive sh -c \
  'dpkg -P $(dpkg-query -W -f "\${Package}\n" "brenu-search*")' >"$work.purge" 2>&1 ||
  fail "purge failed: $(cat "$work.purge")"
left=$(in_ctr find /run /var/lib -name '*brenu*' 2>/dev/null || true)
[[ -z "$left" ]] || fail "left after purge: $left"
echo "systemd scrape: purged, nothing left under /run or /var/lib; $((SECONDS - started)) s in all"
