#!/usr/bin/env bash
# Boots a Debian 12 root file system under systemd-nspawn, installs the native packages of a
# build tree in it with apt and runs tests/boot/checks.sh there at boot, against the real
# systemd: readiness, watchdog, restarts, reload, journal, bad input, the group's tools, purge.
# The root file system is made once by mmdebstrap and kept in BUILD_DIR/boot-cache, keyed on
# the packages it holds. As root; the container has no network.
# Usage: check_boot.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: it boots a container"
for tool in mmdebstrap systemd-nspawn; do
  command -v "$tool" >/dev/null || fail "$tool is missing (scripts/setup installs it)"
done

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 \
  || { cat "$scratch/cpack.log" >&2; fail "cpack failed"; }

# What the packages depend on is in the image already: apt installs them with no network.
mapfile -t includes < <(for deb in "$scratch"/out/*.deb; do dpkg-deb -f "$deb" Depends; done |
  tr ',' '\n' | sed 's/(.*)//; s/|.*//; s/[[:space:]]//g' | grep -v -e '^$' -e '^smdhost$' |
  sort -u)
includes+=(systemd systemd-sysv)
key=$(printf '%s\n' "${includes[@]}" | sort -u | sha256sum | cut -c1-12)
cache=$build/boot-cache
image=$cache/bookworm-$key.tar
if [ ! -f "$image" ]; then
  mkdir -p "$cache"
  rm -f "$cache"/bookworm-*.tar
  start=$SECONDS
  mmdebstrap --quiet --variant=apt --format=tar --include="$(IFS=,; echo "${includes[*]}")" bookworm \
    "$image.part" >"$scratch/mmdebstrap.log" 2>&1 \
    || { cat "$scratch/mmdebstrap.log" >&2; fail "mmdebstrap failed"; }
  mv "$image.part" "$image"
  echo "made $image in $((SECONDS - start)) s"
fi

root=$scratch/root
mkdir "$root"
tar -C "$root" -xf "$image"
mkdir "$root/root/debs"
cp "$scratch"/out/*.deb "$root/root/debs/"
install -m 755 "$here/boot/checks.sh" "$root/root/checks.sh"
# The checks run once the system is up, then power it off; the log survives in the root.
cat >"$root/etc/systemd/system/smd-boot-checks.service" <<'EOF'
[Unit]
Description=smdhost checks at boot
After=multi-user.target
[Service]
Type=oneshot
ExecStart=/bin/sh -c '/root/checks.sh >/root/checks.log 2>&1; echo $? >/root/checks.status'
ExecStopPost=/bin/systemctl poweroff --no-block
TimeoutStartSec=400
[Install]
WantedBy=multi-user.target
EOF
ln -s /etc/systemd/system/smd-boot-checks.service \
  "$root/etc/systemd/system/multi-user.target.wants/smd-boot-checks.service"

start=$SECONDS
timeout 480 systemd-nspawn --quiet --boot --directory="$root" --register=no --keep-unit \
  --private-network >"$scratch/console.log" 2>&1 || true
cat "$root/root/checks.log" 2>/dev/null || { cat "$scratch/console.log" >&2; fail "no checks ran"; }
[ "$(cat "$root/root/checks.status" 2>/dev/null)" = 0 ] \
  || fail "the checks failed in the container (booted for $((SECONDS - start)) s)"
echo "ok: booted Debian 12 under systemd-nspawn, installed $(cd "$scratch/out" && echo *.deb)," \
  "checked in $((SECONDS - start)) s"
