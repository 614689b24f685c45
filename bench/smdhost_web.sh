#!/usr/bin/env bash
# smdhost polling N simulated units (each an rtmk48sim on a pty of its own, a round every
# second) while its web server is idle for S seconds and then answers R requests a second for
# S seconds (bench/smd_web_load, cycling through the API's answers and the metrics).
# Usage: bench/smdhost_web.sh BUILD_DIR N S R
# Prints the load generator's lines (target count p50_ms p99_ms max_ms), then per phase:
#   rounds PHASE count late_p50_ms late_p99_ms late_max_ms
# where "late" is how much later than its 1000 ms schedule a round started.
set -euo pipefail
units=$2
seconds=$3
rate=$4
source "$(dirname "$0")/common.sh"

start_units "$units"

{
  printf '{ "database": "%s/site.db", "plugins": ["%s/rtmk48_pv05.so"],\n' "$tmp" "$build"
  # The page's files from the source tree: a build directory has no installed copy.
  printf '  "web": { "port": 0, "root": "%s/web/static" },\n  "devices": [\n' "$src"
  for ((k = 1; k <= units; k++)); do
    printf '    { "model": "rtmk48_pv05", "dataId": %d, "port": "%s/u%d", "pollIntervalMs": 1000,\n' \
      "$k" "$tmp" "$k"
    printf '      "delayScale": 0.002, "replyTimeoutMs": 1000, "workDir": "%s",\n' "$src"
    printf '      "signalMap": "%s/ini/rtmk48_pv05.signals.json",\n' "$src"
    printf '      "settings": { "appSetting": { "b_mode": 1 } } }%s\n' "$([ $k -lt $units ] && echo ,)"
  done
  printf '  ] }\n'
} >"$tmp/site.json"

"$build/smdhost" --site "$tmp/site.json" >"$tmp/host.log" 2>&1 &
host=$!
port=""
for ((t = 0; t < 200; t++)); do
  port=$(sed -n 's|.*status page on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$tmp/host.log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "smdhost_web: no status page:" >&2; tail -20 "$tmp/host.log" >&2; exit 1; }

now() { date +%H:%M:%S.%3N; }
sleep 3  # every unit through its first rounds (start-up is not what is measured)
idle_from=$(now)
sleep "$seconds"
load_from=$(now)
"$build/bench/smd_web_load" --port "$port" --rate "$rate" --seconds "$seconds" \
  / /api/devices /api/values /api/alarms /api/events /metrics \
  "/api/devices/1" "/api/history?device=1&signal=%E7%9B%B4%E6%B5%81%E8%BE%93%E5%87%BA%E7%94%B5%E5%8E%8B&from=-600&points=300"
load_to=$(now)
[ -n "${SMD_WEB_LOG:-}" ] && cp "$tmp/host.log" "$SMD_WEB_LOG"

# Round starts ("[k] ── round N at HH:MM:SS.mmm ──"): lateness against the previous start + 1 s.
awk -v a="$idle_from" -v b="$load_from" -v c="$load_to" '
  function sec(t,  p) { split(t, p, ":"); return p[1] * 3600 + p[2] * 60 + p[3] }
  function pct(arr, n, q,  i, j, t) {
    for (i = 2; i <= n; i++) { t = arr[i]; for (j = i - 1; j >= 1 && arr[j] > t; j--) arr[j + 1] = arr[j]; arr[j + 1] = t }
    return arr[int(q * (n - 1) + 1.5)]
  }
  / round [0-9]+ at / {
    match($0, /^\[[0-9]+\]/); dev = substr($0, 2, RLENGTH - 2)
    t = sec($NF == "──" ? $(NF - 1) : $NF)
    if (dev in last) {
      late = (t - last[dev] - 1) * 1000
      if (t >= sec(a) && t < sec(b)) idle[++ni] = late
      else if (t >= sec(b) && t < sec(c)) load[++nl] = late
    }
    last[dev] = t
  }
  END {
    printf "rounds idle %d %.1f %.1f %.1f\n", ni, pct(idle, ni, 0.5), pct(idle, ni, 0.99), pct(idle, ni, 1)
    printf "rounds load %d %.1f %.1f %.1f\n", nl, pct(load, nl, 0.5), pct(load, nl, 0.99), pct(load, nl, 1)
  }' "$tmp/host.log"
