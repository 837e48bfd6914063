#!/usr/bin/env bash
# The Debian packages built by tools/build-packages.sh: what they hold, their units and scripts,
# and their life in a throw-away root: install, reinstall over an edited conffile, remove,
# purge. The maintainer scripts run against that root only (dpkg names it in DPKG_ROOT); this
# machine's services, users and unit links are never touched. Where systemd runs, the packages
# are installed for real once: the service started, asked, stopped, purged.
#   package_test.sh <folder with the .deb files> <source tree>
set -euo pipefail
debs=$(realpath "$1")
source=$(realpath "$2")
for tool in dpkg dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
deb_of() { ls "$debs"/"$1"_*.deb 2>/dev/null | head -1; }
for p in zarvoplugindsm zarvo-suite zarvo-ctl; do
  [ -n "$(deb_of "$p")" ] || { echo "SKIP: no $p package in $debs: run tools/build-packages.sh"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

echo "== files in the packages"
list() { dpkg-deb -c "$(deb_of "$1")" | awk '{s = $1; for (i = 6; i <= NF; i++) s = s " " $i; print s}'; }
expect_in() {
  local package=$1; shift
  list "$package" >"$work/list"
  for entry in "$@"; do grep -qxF -- "$entry" "$work/list" || { cat "$work/list"; fail "$package lacks $entry"; }; done
}
expect_in zarvoplugindsm \
  "-rwxr-xr-x ./usr/sbin/ZarvoPluginDSM" \
  "-rw-r--r-- ./etc/zarvo/ZarvoPluginDSM.cfg" \
  "-rw-r--r-- ./lib/systemd/system/ZarvoPluginDSM.service" \
  "-rw-r--r-- ./usr/lib/sysusers.d/zarvoplugindsm.conf" \
  "-rw-r--r-- ./usr/share/man/man8/ZarvoPluginDSM.8.gz" \
  "-rw-r--r-- ./usr/share/doc/zarvoplugindsm/copyright" \
  "-rw-r--r-- ./usr/share/doc/zarvoplugindsm/changelog.Debian.gz"
expect_in zarvo-suite \
  "-rwxr-xr-x ./usr/sbin/zarvo-suite" \
  "-rw-r--r-- ./etc/zarvo/zarvo-suite.cfg" \
  "-rw-r--r-- ./lib/systemd/system/zarvo-suite.service" \
  "-rw-r--r-- ./usr/share/man/man8/zarvo-suite.8.gz" \
  "-rwxr-xr-x ./usr/sbin/zarvo-console" \
  "-rw-r--r-- ./etc/zarvo/zarvo-console.cfg" \
  "-rw-r--r-- ./lib/systemd/system/zarvo-console.service" \
  "-rw-r--r-- ./usr/share/man/man8/zarvo-console.8.gz" \
  "-rw-r--r-- ./usr/share/snmp/mibs/ZARVO-STORAGE-MIB.txt"
expect_in zarvo-ctl \
  "-rwxr-xr-x ./usr/bin/zarvo-ctl" \
  "-rw-r--r-- ./usr/share/man/man1/zarvo-ctl.1.gz"
for p in zarvoplugindsm zarvo-suite zarvo-ctl; do
  if list "$p" | grep -E ' \./(opt|usr/local|var)/'; then fail "$p installs outside the FHS places"; fi
done
[ "$(dpkg-deb -f "$(deb_of zarvo-ctl)" Architecture)" = all ] || fail "zarvo-ctl is not Architecture: all"
# Every ELF file in the packages is stripped; its symbols are in the -dbgsym package.
for p in zarvoplugindsm zarvo-suite; do
  [ -n "$(deb_of "$p-dbgsym")" ] || fail "no $p-dbgsym package"
done

echo "== control files"
for p in zarvoplugindsm zarvo-suite; do
  dpkg-deb -e "$(deb_of "$p")" "$work/control-$p"
  for script in postinst prerm postrm; do
    [ -x "$work/control-$p/$script" ] || fail "$p has no executable $script"
  done
  # The helpers carry enable, start, stop and purge; systemctl itself only reloads.
  if grep -n 'systemctl' "$work/control-$p"/p* | grep -v 'daemon-reload'; then
    fail "$p's scripts call systemctl"
  fi
  grep -q deb-systemd-helper "$work/control-$p/postinst" || fail "$p's postinst does not enable through deb-systemd-helper"
  grep -q systemd-sysusers "$work/control-$p/postinst" || fail "$p's postinst does not make the user"
done
grep -qxF /etc/zarvo/ZarvoPluginDSM.cfg "$work/control-zarvoplugindsm/conffiles" ||
  fail "the configuration is not a conffile: an upgrade would overwrite local changes"
dpkg-deb -f "$(deb_of zarvoplugindsm)" Depends | grep -q 'libqt6core6' ||
  fail "the library dependencies were not computed"
[ "$(dpkg-deb -f "$(deb_of zarvoplugindsm)" Maintainer)" != "" ] || fail "no maintainer"

echo "== units"
unit_of() { dpkg-deb --fsys-tarfile "$(deb_of "$1")" | tar -xO "./lib/systemd/system/$2.service"; }
unit_of zarvoplugindsm ZarvoPluginDSM | tee "$work/unit"
unit_of zarvo-suite zarvo-suite >"$work/suite.unit"
unit_of zarvo-suite zarvo-console >"$work/console.unit"
for line in 'Type=notify' 'ExecStart="/usr/sbin/ZarvoPluginDSM"' 'User=zarvo' 'Group=zarvo' \
            'StateDirectory=zarvo' 'ConfigurationDirectory=zarvo' 'ProtectSystem=strict' \
            'ProtectHome=yes' 'PrivateTmp=yes' 'NoNewPrivileges=yes' \
            'RestrictAddressFamilies=AF_INET AF_UNIX' 'LimitNOFILE=65536' 'Restart=on-failure' \
            'Documentation=man:ZarvoPluginDSM(8)' 'CapabilityBoundingSet=' 'WantedBy=multi-user.target'; do
  grep -qxF -- "$line" "$work/unit" || fail "unit lacks $line"
done
grep -q '^AmbientCapabilities' "$work/unit" && fail "the storage manager's unit grants a capability"
# The suite's unit differs only in its program and in binding ports below 1024.
same() { grep -v -e '^#' -e '^ExecStart=' -e '^Description=' -e '^Documentation=' -e '^RuntimeDirectory=' "$1" | sort -u; }
only_suite=$(comm -13 <(same "$work/unit") <(same "$work/suite.unit") | tr '\n' ' ')
only_dsm=$(comm -23 <(same "$work/unit") <(same "$work/suite.unit") | tr '\n' ' ')
[ "$only_suite" = "AmbientCapabilities=CAP_NET_BIND_SERVICE CapabilityBoundingSet=CAP_NET_BIND_SERVICE " ] &&
  [ "$only_dsm" = "CapabilityBoundingSet= " ] ||
  fail "the suite's unit differs in more than the low ports: only there: $only_suite; only in the storage manager's: $only_dsm"
# The console's only in not reporting readiness, and in its address file.
only_console=$(comm -13 <(same "$work/unit") <(same "$work/console.unit") | tr '\n' ' ')
only_dsm=$(comm -23 <(same "$work/unit") <(same "$work/console.unit") | tr '\n' ' ')
[ "$only_console" = "Type=exec " ] && [ "$only_dsm" = "NotifyAccess=main Type=notify " ] ||
  fail "the console's unit differs in more than its type: only there: $only_console; only in the storage manager's: $only_dsm"
grep -qxF 'ExecStart="/usr/sbin/zarvo-console" "--url-file" "/run/zarvo-console/url"' "$work/console.unit" ||
  fail "the console's unit does not write its address where root finds it"
# The user the units name is the one the packages make.
for p in zarvoplugindsm zarvo-suite; do
  dpkg-deb --fsys-tarfile "$(deb_of "$p")" | tar -xO "./usr/lib/sysusers.d/$p.conf" | grep -v '^#' >"$work/sysusers"
  grep -q '^u zarvo - ".*" /var/lib/zarvo$' "$work/sysusers" || { cat "$work/sysusers"; fail "$p makes no user zarvo"; }
done
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$work/units"
  cp "$work/unit" "$work/units/ZarvoPluginDSM.service"
  # Offline, systemd-analyze judges the unit file alone (no running manager needed).
  exposure=$(systemd-analyze security --offline=true --no-pager "$work/units/ZarvoPluginDSM.service" 2>&1 |
             sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  if [ -n "$exposure" ]; then
    echo "exposure of ZarvoPluginDSM.service: $exposure"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 4.0) }' || fail "exposure $exposure is above 4.0"
  else
    echo "systemd-analyze cannot judge the unit offline here; exposure not measured"
  fi
fi

echo "== install into a throw-away root"
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
host_state=$(ls -l /etc/passwd /etc/systemd/system/multi-user.target.wants 2>/dev/null | md5sum)
dpkg_root() {
  dpkg --root="$root" --force-script-chrootless --force-depends --force-not-root \
       --log=/dev/null "$@" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "dpkg $*"; }
}
dpkg_root -i "$(deb_of zarvoplugindsm)" "$(deb_of zarvo-suite)" "$(deb_of zarvo-ctl)"
for f in usr/sbin/ZarvoPluginDSM usr/sbin/zarvo-suite usr/bin/zarvo-ctl; do
  [ -x "$root/$f" ] || fail "$f not installed"
done
cmp "$root/etc/zarvo/ZarvoPluginDSM.cfg" "$source/tools/ZarvoPluginDSM.cfg" ||
  fail "sample configuration differs"
grep -q '^zarvo:x:[0-9]*:[0-9]*:.*:/var/lib/zarvo:/usr/sbin/nologin$' "$root/etc/passwd" ||
  { cat "$root/etc/passwd"; fail "the user zarvo was not made"; }
uid=$(awk -F: '$1 == "zarvo" { print $3 }' "$root/etc/passwd")
[ "$uid" -gt 0 ] && [ "$uid" -lt 1000 ] || fail "zarvo is no system user (uid $uid)"
for unit in ZarvoPluginDSM zarvo-suite zarvo-console; do
  [ -L "$root/etc/systemd/system/multi-user.target.wants/$unit.service" ] ||
    fail "postinst did not enable $unit"
done
[ "$(ls -l /etc/passwd /etc/systemd/system/multi-user.target.wants 2>/dev/null | md5sum)" = "$host_state" ] ||
  fail "the scripts changed this machine's users or unit links"
version=$("$root/usr/sbin/ZarvoPluginDSM" -version 2>/dev/null | tail -1)
[ "$version" = "Version $(dpkg-deb -f "$(deb_of zarvoplugindsm)" Version | sed 's/-[^-]*$//')" ] ||
  fail "-version printed '$version'"
if command -v hardening-check >/dev/null; then
  # Control flow integrity needs every linked object marked for it, and Debian 12's C library
  # start files are not: no executable built here can carry the mark, so that check is left out.
  for f in "$root"/usr/sbin/*; do
    hardening-check --nocfprotection "$f" || fail "${f#"$root"} is not hardened"
  done
fi

echo "== the service's state, as systemd would leave it"
mkdir -p "$root/var/lib/zarvo/Files" "$root/var/lib/zarvo/uploads" "$root/var/lib/zarvo/fleet-files"
touch "$root/var/lib/zarvo/Files/Garamond.pfa" "$root/var/lib/zarvo/TrapDestinations.journal"

echo "== reinstall over an edited configuration"
echo "<!-- edited by the administrator -->" >>"$root/etc/zarvo/ZarvoPluginDSM.cfg"
cp "$root/etc/zarvo/ZarvoPluginDSM.cfg" "$work/edited.cfg"
dpkg_root -i "$(deb_of zarvoplugindsm)"
cmp "$root/etc/zarvo/ZarvoPluginDSM.cfg" "$work/edited.cfg" || fail "the reinstall lost the edit"
[ -e "$root/var/lib/zarvo/Files/Garamond.pfa" ] || fail "the reinstall lost the store"

echo "== remove"
dpkg_root -r zarvoplugindsm
[ ! -e "$root/usr/sbin/ZarvoPluginDSM" ] || fail "the executable is left after remove"
[ ! -e "$root/etc/systemd/system/multi-user.target.wants/ZarvoPluginDSM.service" ] ||
  fail "the unit is still enabled after remove"
cmp "$root/etc/zarvo/ZarvoPluginDSM.cfg" "$work/edited.cfg" || fail "remove lost the configuration"
[ -e "$root/var/lib/zarvo/Files/Garamond.pfa" ] || fail "remove lost the store"

echo "== purge"
dpkg_root -P zarvoplugindsm
[ ! -e "$root/etc/zarvo/ZarvoPluginDSM.cfg" ] || fail "purge left the configuration"
[ ! -e "$root/var/lib/zarvo/Files" ] && [ ! -e "$root/var/lib/zarvo/TrapDestinations.journal" ] ||
  fail "purge left the store"
[ -d "$root/var/lib/zarvo/fleet-files" ] || fail "purging the storage manager removed the suite's files"
[ -e "$root/etc/zarvo/zarvo-suite.cfg" ] && [ -e "$root/etc/zarvo/zarvo-console.cfg" ] ||
  fail "purging the storage manager removed the suite's configuration"
dpkg_root -P zarvo-suite zarvo-ctl
grep -q '^zarvo:' "$root/etc/passwd" || fail "purge removed the user (system users stay)"
# The user database (and its lock) keeps the user: Debian leaves system users in place.
left=$(find "$root" \( -path "$root/var/lib/dpkg" -o -path "$root/etc/passwd*" -o -path "$root/etc/group*" \
                       -o -path "$root/etc/shadow*" -o -path "$root/etc/gshadow*" \
                       -o -path "$root/etc/.pwd.lock" \) -prune -o \
            \( -type f -o -type l \) -print)
[ -z "$left" ] || fail "left behind after purge: $left"
[ ! -e "$root/var/lib/zarvo" ] || fail "purge left /var/lib/zarvo"

echo "== on a running systemd"
if [ ! -d /run/systemd/system ]; then
  echo "SKIP (part): systemd is not running here (PID 1 is $(ps -p 1 -o comm=)): the unit is not started"
elif [ "$(id -u)" != 0 ]; then
  echo "SKIP (part): installing for real needs root"
elif dpkg -s zarvoplugindsm >/dev/null 2>&1; then
  echo "SKIP (part): zarvoplugindsm is installed on this machine; it is left alone"
else
  dpkg -i "$(deb_of zarvoplugindsm)" "$(deb_of zarvo-ctl)" || fail "installing for real"
  cleanup_real() { dpkg -P zarvoplugindsm zarvo-ctl >/dev/null 2>&1 || true; }
  trap 'cleanup_real; rm -rf "$work"' EXIT
  for _ in $(seq 50); do
    [ "$(systemctl is-active ZarvoPluginDSM.service)" = active ] && break
    sleep 0.2
  done
  [ "$(systemctl is-active ZarvoPluginDSM.service)" = active ] ||
    { journalctl -u ZarvoPluginDSM --no-pager | tail -20; fail "the service did not start"; }
  [ "$(systemctl show -p User --value ZarvoPluginDSM.service)" = zarvo ] || fail "not run as zarvo"
  zarvo-ctl --url http://127.0.0.1:8080/ DSMGetFileList DeviceID=0 >"$work/answer" 2>&1 || true
  grep -q 'Result' "$work/answer" || { cat "$work/answer"; fail "the service did not answer"; }
  [ -d /var/lib/zarvo/Files ] || fail "the store is not in /var/lib/zarvo"
  systemctl stop ZarvoPluginDSM.service || fail "the service did not stop"
  cleanup_real
fi
echo "PASS"
