#!/usr/bin/env bash
# History on disk: one smdhost polling N simulated units (each an rtmk48sim program on a pty of
# its own) every second for R rounds, with its fsync/fdatasync calls traced. With LOCK_S > 0
# another process holds the database's write lock for that many seconds from the 5th second on.
# Usage: bench/history_flush.sh BUILD_DIR N R [LOCK_S]
# Prints one line: units rounds cycles commits flushes flushes_per_cycle max_round_gap_ms
#                  published stored not_stored
set -euo pipefail
units=$2
rounds=$3
lock_s=${4:-0}
source "$(dirname "$0")/common.sh"

start_units "$units"

{
  printf '{ "database": "%s/site.db", "plugins": ["%s/rtmk48_pv05.so"], "rounds": %d,\n' \
    "$tmp" "$build" "$rounds"
  printf '  "devices": [\n'
  for ((k = 1; k <= units; k++)); do
    printf '    { "model": "rtmk48_pv05", "dataId": %d, "port": "%s/u%d", "pollIntervalMs": 1000,\n' \
      "$k" "$tmp" "$k"
    printf '      "delayScale": 0.002, "replyTimeoutMs": 1000, "workDir": "%s",\n' "$src"
    printf '      "signalMap": "%s/ini/rtmk48_pv05.signals.json",\n' "$src"
    printf '      "settings": { "appSetting": { "b_mode": 1 } } }%s\n' "$([ $k -lt $units ] && echo ,)"
  done
  printf '  ] }\n'
} >"$tmp/site.json"

strace -f -qq -e trace=fsync,fdatasync -o "$tmp/syncs" "$build/smdhost" --site "$tmp/site.json" \
  >"$tmp/host.log" 2>&1 &
host=$!
if [ "$lock_s" -gt 0 ]; then
  # The lock is taken once the database exists and the host polls.
  t=0
  while ! grep -q "in one commit" "$tmp/host.log" && [ $t -lt 200 ]; do sleep 0.05; t=$((t + 1)); done
  sleep 3
  python3 -c "
import sqlite3, sys, time
c = sqlite3.connect(sys.argv[1], isolation_level=None)
c.execute('BEGIN IMMEDIATE')
time.sleep(float(sys.argv[2]))
c.execute('ROLLBACK')" "$tmp/site.db" "$lock_s"
fi
wait $host || { echo "history_flush: smdhost failed:" >&2; tail -20 "$tmp/host.log" >&2; exit 1; }
[ -n "${SMD_FLUSH_LOG:-}" ] && cp "$tmp/host.log" "$SMD_FLUSH_LOG"

flushes=$(grep -c 'sync(' "$tmp/syncs" || true)
commits=$(grep -c 'in one commit' "$tmp/host.log" || true)
# The longest time between two round starts of one unit ("[k] ── round n at hh:mm:ss.mmm ──").
gap=$(awk '/── round [0-9]+ at / {
    id = $1; split($(NF-1), t, ":"); ms = (t[1] * 3600 + t[2] * 60 + t[3]) * 1000
    if (id in last && ms - last[id] > max) max = ms - last[id]
    last[id] = ms
  } END { printf "%d", max }' "$tmp/host.log")
summary=$(grep '^summary:' "$tmp/host.log")
published=$(sed -E 's/.* ([0-9]+) records published.*/\1/' <<<"$summary")
stored=$(sed -E 's/.* ([0-9]+) records stored.*/\1/' <<<"$summary")
notstored=$(grep -oE 'not stored [0-9]+' <<<"$summary" | grep -oE '[0-9]+' || echo 0)
awk -v u="$units" -v r="$rounds" -v c="$commits" -v f="$flushes" -v g="$gap" -v p="$published" \
  -v s="$stored" -v n="$notstored" \
  'BEGIN { printf "%d %d %d %d %d %.2f %d %d %d %d\n", u, r, r, c, f, f / r, g, p, s, n }'
