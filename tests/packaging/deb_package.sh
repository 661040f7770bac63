#!/usr/bin/env bash
# Builds the .deb from a built tree and checks it the way a Debian machine would
# see it: lintian, the file list, the unit (verify, sandbox exposure), then an
# installation into a scratch root, removal and purge, which must leave that
# root as it was and this machine untouched.
# Usage: deb_package.sh BUILD_DIR DEB_VERSION
set -euo pipefail

build=$1
version=$2
unit=VACSvc.service
work=$(mktemp -d /tmp/vantrel-deb.XXXXXX)
trap 'rm -rf "$work"' EXIT
exec </dev/null

fail() { echo "FAIL: $*" >&2; exit 1; }
step() { echo "== [${SECONDS}s] $*"; }

step "cpack"
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb="$work/out/vantrel_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || { ls -l "$work/out"; fail "no package named $(basename "$deb")"; }

step "control fields"
[ "$(dpkg-deb -f "$deb" Package)" = vantrel ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "version $(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libsystemd0 libsqlite3-0 libjsoncpp25 'libcrypto++8'; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/vantrel/vantrel.conf ] || fail "conffiles"

step "lintian"
lintian --fail-on error --tag-display-limit 0 "$deb" | tee "$work/lintian.log" || fail "lintian reports errors"

step "file list"
# Regular files and links with their modes and owners, directories aside.
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sort >"$work/files"
cat >"$work/expected" <<'LIST'
-rw-r--r-- root/root ./etc/vantrel/vantrel.conf
-rw-r--r-- root/root ./usr/lib/sysctl.d/50-vantrel.conf
-rw-r--r-- root/root ./usr/lib/systemd/system/VACSvc.service
-rw-r--r-- root/root ./usr/share/doc/vantrel/changelog.Debian.gz
-rw-r--r-- root/root ./usr/share/doc/vantrel/copyright
-rw-r--r-- root/root ./usr/share/lintian/overrides/vantrel
-rw-r--r-- root/root ./usr/share/man/man1/vantrelctl.1.gz
-rwxr-xr-x root/root ./usr/bin/vantrelctl
-rwxr-xr-x root/root ./usr/lib/vantrel/VantrelCentralService
-rwxr-xr-x root/root ./usr/lib/vantrel/VantrelSysHardwareService
-rwxr-xr-x root/root ./usr/lib/vantrel/VantrelSysMonitorService
LIST
sort -o "$work/expected" "$work/expected"
diff -u "$work/expected" "$work/files" || fail "file list"

step "unit"
dpkg-deb -x "$deb" "$work/tree"
unit_file="$work/tree/usr/lib/systemd/system/$unit"
grep -qx "ExecStart=/usr/lib/vantrel/VantrelCentralService" "$unit_file" || fail "ExecStart"
for line in Type=notify Restart=on-failure KillMode=control-group StateDirectory=vantrel RuntimeDirectory=vantrel \
            "After=systemd-logind.service dbus.service" "Wants=systemd-logind.service dbus.service"; do
  grep -qx "$line" "$unit_file" || fail "unit lacks $line"
done
# Verified inside the package's tree (so ExecStart is found), with this
# machine's units beside it for the targets and services it names.
mkdir -p "$work/vroot/usr/lib/systemd"
cp -a /usr/lib/systemd/system "$work/vroot/usr/lib/systemd/"
cp -a "$work/tree/." "$work/vroot/"
systemd-analyze verify --man=no --root="$work/vroot" "/usr/lib/systemd/system/$unit" 2>&1 | tee "$work/verify.log"
[ "${PIPESTATUS[0]}" -eq 0 ] && [ ! -s "$work/verify.log" ] || fail "systemd-analyze verify"
exposure=$(systemd-analyze security --offline=yes --root="$work/tree" "$unit_file" 2>&1 |
           sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
echo "exposure $exposure"
[ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 5.0) }' || fail "exposure '$exposure' above 5.0"

step "postinst adds the port to the reserved ones"
# Its helpers alone (the lines before its "case"): applying it here would
# change this machine.
dpkg-deb -e "$deb" "$work/control"
sed -n '/^PORT=/,/^case/p' "$work/control/postinst" | sed '$d' >"$work/port.sh"
while read -r current expected; do
  [ "$current" = - ] && current=
  got=$(. "$work/port.sh"; with_port "$current")
  [ -n "$got" ] || got=kept
  [ "$got" = "$expected" ] || fail "reserved ports '$current' gave '$got', not '$expected'"
done <<'TABLE'
- 46753
8080 8080,46753
22,80 22,80,46753
46753 kept
46700-46800 kept
1-100,46753-46760 kept
46754-46760 46754-46760,46753
TABLE

step "install into a scratch root"
root="$work/root"
admin="$root/var/lib/dpkg"
# What every systemd machine has; dpkg removes folders only the package held.
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers" "$root/var/log" "$root/run" \
         "$root/etc/systemd/system" "$root/var/lib/systemd"
: >"$admin/status"
: >"$admin/available"
snapshot() { (cd "$root" && find . -path ./var/lib/dpkg -prune -o -path ./var/log -prune -o -print | sort); }
snapshot >"$work/before"
host_wants=/etc/systemd/system/multi-user.target.wants/$unit
host_had_wants=no; [ -e "$host_wants" ] && host_had_wants=yes
host_ports=$(cat /proc/sys/net/ipv4/ip_local_reserved_ports 2>/dev/null || true)
# Scripts run outside the root (there is no shell in it) with DPKG_ROOT set;
# the dependencies are this machine's, not the root's.
dpkg=(dpkg --root="$root" --force-script-chrootless --force-not-root --force-depends)
"${dpkg[@]}" -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -i"; }
[ "$(dpkg-query --admindir="$admin" -W -f='${Status} ${Version}' vantrel)" = "install ok installed $version" ] ||
  fail "not installed"
for f in usr/lib/vantrel/VantrelCentralService usr/bin/vantrelctl etc/vantrel/vantrel.conf; do
  [ -e "$root/$f" ] || fail "$f not installed"
done
[ "$(readlink "$root/etc/systemd/system/multi-user.target.wants/$unit")" = "/usr/lib/systemd/system/$unit" ] ||
  fail "the unit is not enabled in the scratch root"

step "the supervisor refuses -install and -uninstall next to the packaged unit"
for switch in -install -uninstall; do
  set +e
  out=$(VANTREL_PACKAGE_UNIT_DIR="$root/usr/lib/systemd/system" VANTREL_SYSTEMD_UNIT_DIR="$work" \
        "$build/bin/VantrelCentralService" "$switch" 2>&1)
  rc=$?
  set -e
  [ "$rc" -ne 0 ] && [[ "$out" == *"package"* ]] || fail "$switch gave $rc: $out"
  [ ! -e "$work/$unit" ] || fail "$switch wrote a unit"
done

# What a running service and an admin leave behind.
mkdir -p "$root/var/lib/vantrel/OEM" "$root/run/vantrel/pipe"
echo state >"$root/var/lib/vantrel/registry.db"
echo "; mine" >>"$root/etc/vantrel/vantrel.conf"
echo extra >"$root/etc/vantrel/local.conf"

step "remove"
"${dpkg[@]}" -r vantrel >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -r"; }
[ ! -e "$root/usr/lib/vantrel/VantrelCentralService" ] || fail "programs left after remove"
[ -f "$root/etc/vantrel/vantrel.conf" ] && [ -f "$root/var/lib/vantrel/registry.db" ] ||
  fail "remove took the configuration or the state"

step "purge"
"${dpkg[@]}" -P vantrel >>"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg -P"; }
snapshot >"$work/after"
diff -u "$work/before" "$work/after" || fail "purge left files behind"
[ -z "$(dpkg-query --admindir="$admin" -W -f='${Status}' vantrel 2>/dev/null)" ] ||
  dpkg-query --admindir="$admin" -W -f='${Status}\n' vantrel | grep -q 'not-installed' || fail "still known to dpkg"

step "this machine untouched"
host_has_wants=no; [ -e "$host_wants" ] && host_has_wants=yes
[ "$host_has_wants" = "$host_had_wants" ] || fail "the host's systemd state changed"
[ "$(cat /proc/sys/net/ipv4/ip_local_reserved_ports 2>/dev/null || true)" = "$host_ports" ] ||
  fail "the host's reserved ports changed"
echo "PASS in ${SECONDS}s"
