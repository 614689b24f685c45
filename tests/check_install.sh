#!/usr/bin/env bash
# Installs the native Debian packages of a build tree with apt on this machine, checks the
# service user, directories and file modes, runs the installed host as the service user with the
# shipped site file pointed at the simulated unit for a few rounds, and purges the packages
# again. It changes the machine: CI's packages stage only, as root.
# Usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it installs packages"
! dpkg-query -W smdhost >/dev/null 2>&1 || fail "smdhost is installed already; remove it first"

# A file no package owns where the conffile goes (left by an interrupted run) would stop dpkg at
# its conffile prompt: it is moved aside, and said.
if [ -e /etc/smdhost/site.json ] && ! dpkg -S /etc/smdhost/site.json >/dev/null 2>&1; then
  mv /etc/smdhost/site.json "/etc/smdhost/site.json.left-$(date +%s)"
  echo "check_install: moved aside an /etc/smdhost/site.json no package owns"
fi

scratch=$(mktemp -d)
chmod 755 "$scratch"
cleanup() {
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq rtmk48-pv05 smdhost >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 \
  || { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$scratch"/out/*.deb >"$scratch/apt.log" 2>&1 \
  || { cat "$scratch/apt.log" >&2; fail "apt cannot install the packages"; }

# The service user: a system account in its own group and in dialout, without a login shell.
entry=$(getent passwd smdhost) || fail "no user smdhost"
IFS=: read -r _ _ uid gid _ home shell <<<"$entry"
[ "$uid" -lt 1000 ] || fail "smdhost is not a system user (uid $uid)"
[ "$(getent group smdhost | cut -d: -f3)" = "$gid" ] || fail "smdhost's group is not smdhost"
[ "$home" = /var/lib/smdhost ] || fail "smdhost's home is $home"
[[ $shell == */nologin || $shell == /bin/false ]] || fail "smdhost has the shell $shell"
id -nG smdhost | tr ' ' '\n' | grep -qx dialout || fail "smdhost is not in dialout"

# Files and directories: path, mode, owner and group.
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
while read -r path mode owner; do
  [ -e "$path" ] || fail "missing $path"
  actual="$(stat -c '%a %U:%G' "$path")"
  [ "$actual" = "$mode $owner" ] || fail "$path is $actual, expected $mode $owner"
done <<EOF2
/var/lib/smdhost 750 smdhost:smdhost
/etc/smdhost 755 root:root
/etc/smdhost/site.json 644 root:root
/lib/systemd/system/smdhost.service 644 root:root
/usr/lib/sysusers.d/smdhost.conf 644 root:root
/usr/lib/tmpfiles.d/smdhost.conf 644 root:root
/usr/bin/smdhost 755 root:root
/usr/bin/rtmk48sim 755 root:root
/usr/lib/$triplet/smdhost/rtmk48_pv05.so 644 root:root
/usr/share/smdhost/ini/rtmk48_pv05.ini 644 root:root
/usr/share/man/man1/smdhost.1.gz 644 root:root
/usr/share/man/man5/smdhost-site.5.gz 644 root:root
/usr/share/man/man1/rtmk48sim.1.gz 644 root:root
/usr/share/doc/smdhost/examples/site-simulated.json 644 root:root
EOF2
dpkg-query -W -f='${Conffiles}' smdhost | grep -q '^ /etc/smdhost/site.json ' \
  || fail "/etc/smdhost/site.json is not a conffile"
man=--man=no
command -v man >/dev/null && man=--man=yes
out=$(systemd-analyze verify "$man" smdhost.service 2>&1) || fail "systemd-analyze verify: $out"

# The shipped site file, pointed at the simulated unit and polled quickly, run as the service
# user from the state directory, as the unit does.
site=$scratch/site.json
sed -e 's|"port": "/dev/ttyS0"|"port": "simulated", "delayScale": 0.01|' \
    -e 's|"pollIntervalMs": 15000|"pollIntervalMs": 100|' /etc/smdhost/site.json >"$site"
grep -q '"simulated"' "$site" || fail "the shipped site file has no port /dev/ttyS0 to replace"
chmod 644 "$site"
as_smdhost() { (cd /var/lib/smdhost && timeout 120 runuser -u smdhost -- "$@"); }
out=$(as_smdhost smdhost --site "$site" --rounds 3 2>&1) || fail "the installed host failed: $out"
grep -q 'summary: 3 rounds, 3 records published, 3 records stored, .*errors: none' <<<"$out" \
  || fail "no clean summary of 3 rounds: $out"
[ "$(stat -c %U /var/lib/smdhost/history.db)" = smdhost ] || fail "history.db is not smdhost's"
out=$(as_smdhost smdhost history --site "$site" --device 1) || fail "history failed: $out"
grep -q 'device 1: 3 records in /var/lib/smdhost/history.db' <<<"$out" || fail "history: $out"

# Bad input (status 2, one err line, no restart loop) is checked under a real systemd by
# tests/check_boot.sh.

# Purging removes the packages' files and the state.
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq rtmk48-pv05 smdhost >/dev/null 2>&1 \
  || fail "apt cannot purge the packages"
for path in /usr/bin/smdhost /etc/smdhost/site.json /var/lib/smdhost; do
  [ ! -e "$path" ] || fail "$path is left after purge"
done
echo "ok: installed $(cd "$scratch/out" && echo *.deb), ran the shipped site file as smdhost, purged"
