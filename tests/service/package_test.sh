#!/usr/bin/env bash
# The Debian package: built with cpack from the build tree, its file list and unit, and a clean
# install and purge in a throw-away root. The maintainer scripts run against that root only
# (dpkg names it in DPKG_ROOT); this machine's services are never touched.
#   package_test.sh <build tree> <source tree>
set -euo pipefail
build=$1
source=$2
for tool in cpack dpkg dpkg-deb systemctl; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/out/*.deb)

echo "== files in the package"
dpkg-deb -c "$deb" | awk '{s = $1; for (i = 6; i <= NF; i++) s = s " " $i; print s}' | tee "$work/list"
expect() { grep -qxF -- "$1" "$work/list" || fail "missing from the package: $1"; }
expect "-rwxr-xr-x ./opt/ZarvoPluginDSM/ZarvoPluginDSM"
expect "-rw-r--r-- ./etc/ZarvoPluginDSM/ZarvoPluginDSM.cfg"
expect "-rw-r--r-- ./lib/systemd/system/ZarvoPluginDSM.service"
expect "lrwxrwxrwx ./opt/ZarvoPluginDSM/ZarvoPluginDSM.cfg -> /etc/ZarvoPluginDSM/ZarvoPluginDSM.cfg"
expect "lrwxrwxrwx ./opt/ZarvoPluginDSM/Files -> /var/lib/ZarvoPluginDSM/Files"

echo "== control files"
dpkg-deb -e "$deb" "$work/control"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no executable $script"
done
grep -qxF /etc/ZarvoPluginDSM/ZarvoPluginDSM.cfg "$work/control/conffiles" ||
  fail "the configuration is not a conffile: an upgrade would overwrite local changes"

echo "== unit"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/ZarvoPluginDSM.service | tee "$work/unit"
for line in 'Type=notify' 'ExecStart="/opt/ZarvoPluginDSM/ZarvoPluginDSM"' \
            'WorkingDirectory=/opt/ZarvoPluginDSM' 'WantedBy=multi-user.target'; do
  grep -qxF -- "$line" "$work/unit" || fail "unit lacks $line"
done

echo "== install into a throw-away root"
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
host_link=/etc/systemd/system/multi-user.target.wants/ZarvoPluginDSM.service
host_had_link=no
[ -e "$host_link" ] && host_had_link=yes
dpkg_root() {
  dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root \
       --log=/dev/null "$@" 2>&1 | grep -v -e 'dependency problems' -e 'depends on' -e 'is not installed'
}
dpkg_root -i "$deb"
[ -x "$root/opt/ZarvoPluginDSM/ZarvoPluginDSM" ] || fail "executable not installed"
cmp "$root/etc/ZarvoPluginDSM/ZarvoPluginDSM.cfg" "$source/tools/ZarvoPluginDSM.cfg" ||
  fail "sample configuration differs"
[ "$(systemctl --root="$root" is-enabled ZarvoPluginDSM.service)" = enabled ] ||
  fail "postinst did not enable the service"
[ "$host_had_link" = yes ] || [ ! -e "$host_link" ] || fail "the scripts enabled the service on this machine"

echo "== purge"
dpkg_root -P zarvoplugindsm
left=$(find "$root" -path "$root/var/lib/dpkg" -prune -o \( -type f -o -type l \) -print)
[ -z "$left" ] || fail "left behind after purge: $left"
echo "PASS"
