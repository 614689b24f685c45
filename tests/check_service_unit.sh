#!/usr/bin/env bash
# The service unit as systemd reads it: `systemd-analyze verify` passes (with ExecStart pointed
# at the built smdhost, since the package is not installed here) and the sandbox keeps the
# exposure level at most MAX_EXPOSURE.
# Usage: check_service_unit.sh UNIT_FILE SMDHOST [MAX_EXPOSURE]
set -euo pipefail
unit=$1 smdhost=$2 max=${3:-2.5}
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v systemd-analyze >/dev/null || fail "systemd-analyze is missing (scripts/setup installs systemd)"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
sed "s|^\(Exec[A-Za-z]*\)=/usr/bin/smdhost |\1=$smdhost |" "$unit" >"$scratch/smdhost.service"
grep -q "^ExecStart=$smdhost " "$scratch/smdhost.service" || fail "no ExecStart=/usr/bin/smdhost in $unit"

# The manual pages are checked by lintian on the packages.
out=$(systemd-analyze verify --man=no "$scratch/smdhost.service" 2>&1) || fail "verify: $out"
[ -z "$out" ] || fail "verify warns: $out"

level=$(systemd-analyze security --offline=true "$scratch/smdhost.service" 2>&1 |
        sed -n 's/.*Overall exposure level for smdhost.service: \([0-9.]*\).*/\1/p')
[ -n "$level" ] || fail "systemd-analyze security gave no exposure level"
awk -v l="$level" -v m="$max" 'BEGIN { exit !(l <= m) }' || fail "exposure level $level above $max"
echo "ok: $unit verifies; exposure level $level (at most $max)"
