#!/usr/bin/env bash
# One smdhost polling N simulated units, each an rtmk48sim program on a pty of its own (so the
# host's CPU time is the host's alone), with fast delays, until every unit has done R rounds.
# Usage: bench/smdhost_units.sh BUILD_DIR N R
# Prints one line: units rounds cpu_s cpu_ms_per_round_per_unit max_rss_kib wall_s
set -euo pipefail
units=$2
rounds=$3
source "$(dirname "$0")/common.sh"

start_units "$units"

{
  printf '{ "database": "%s/site.db", "plugins": ["%s/rtmk48_pv05.so"], "rounds": %d,\n' \
    "$tmp" "$build" "$rounds"
  printf '  "devices": [\n'
  for ((k = 1; k <= units; k++)); do
    # 500 units of delay: 1 ms; mode 1 with the unit's model file and signal map.
    printf '    { "model": "rtmk48_pv05", "dataId": %d, "port": "%s/u%d", "pollIntervalMs": 0,\n' \
      "$k" "$tmp" "$k"
    printf '      "delayScale": 0.002, "replyTimeoutMs": 1000, "workDir": "%s",\n' "$src"
    printf '      "signalMap": "%s/ini/rtmk48_pv05.signals.json",\n' "$src"
    printf '      "settings": { "appSetting": { "b_mode": 1 } } }%s\n' "$([ $k -lt $units ] && echo ,)"
  done
  printf '  ] }\n'
} >"$tmp/site.json"

${SMD_UNITS_WRAP:-} /usr/bin/time -f '%U %S %M %e' -o "$tmp/time" "$build/smdhost" --site "$tmp/site.json" \
  >"$tmp/host.log" 2>&1 || { echo "smdhost_units: smdhost failed:" >&2; tail -20 "$tmp/host.log" >&2; exit 1; }
read -r user sys rss wall <"$tmp/time"
[ -n "${SMD_UNITS_LOG:-}" ] && cp "$tmp/host.log" "$SMD_UNITS_LOG"
awk -v u="$units" -v r="$rounds" -v user="$user" -v sys="$sys" -v rss="$rss" -v wall="$wall" \
  'BEGIN { cpu = user + sys; printf "%d %d %.2f %.3f %d %.2f\n", u, r, cpu, cpu / (u * r) * 1000, rss, wall }'
