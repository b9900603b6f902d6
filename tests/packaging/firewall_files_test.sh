#!/usr/bin/env bash
# The firewall profiles the package ships, read by the programs that will read them:
# ufw's own profile reader (it refuses a profile with a missing field or a port it
# cannot parse) and xmllint for firewalld's service file (well-formed, one UDP port).
# Both must name UDP 19009, where the devices' search answers arrive.
#
#   firewall_files_test.sh <source dir>
set -euo pipefail
src=$1/packaging/firewall
fail() { echo "firewall files: $*" >&2; exit 1; }
[[ -f /usr/lib/python3/dist-packages/ufw/applications.py ]] || fail "ufw is missing: run scripts/bootstrap"
command -v xmllint >/dev/null || fail "xmllint is missing: run scripts/bootstrap"
work=$(mktemp -d /tmp/brenu-firewall-files.XXXXXX)
trap 'rm -rf "$work"' EXIT

# Installed as /etc/ufw/applications.d/brenu-search-tools (packaging/CMakeLists.txt).
cp "$src/brenu-search-tools.ufw" "$work/brenu-search-tools"
ports=$(/usr/bin/python3 - "$work" <<'PY'
import gettext, sys
gettext.install("ufw")
import ufw.applications as apps
profiles = apps.get_profiles(sys.argv[1])  # verifies each profile; drops a bad one
print(" ".join(n + "=" + ",".join(apps.get_ports(p)) for n, p in sorted(profiles.items())))
PY
)
[[ "$ports" == "brenu-search-tools=19009/udp" ]] || fail "ufw reads the profile as '$ports'"

xml="$src/brenu-search-tools.xml"
xmllint --noout "$xml" || fail "the firewalld service is not well-formed XML"
[[ $(xmllint --xpath 'count(/service/port)' "$xml") == 1 ]] || fail "the firewalld service must name exactly one port"
[[ $(xmllint --xpath 'string(/service/port/@protocol)' "$xml")/$(xmllint --xpath 'string(/service/port/@port)' "$xml") == udp/19009 ]] ||
  fail "the firewalld service does not name UDP 19009"
[[ -n $(xmllint --xpath 'string(/service/short)' "$xml") ]] || fail "the firewalld service has no short name"
echo "firewall files: ok"
