#!/usr/bin/env bash
# Bytes the host writes to disk per record: one smdhost polling N simulated units (each an
# rtmk48sim program on a pty of its own) every POLL_MS for R rounds, its write_bytes read from
# /proc/PID/io once it has exited (before it is reaped), so the last commit and the closing
# checkpoint count too. Extra history members may be given as JSON (e.g. '"commitWindowMs": 1000').
# Usage: bench/history_bytes.sh BUILD_DIR N R [POLL_MS] [HISTORY_MEMBERS]
# Prints one line: units rounds poll_ms records_stored write_bytes bytes_per_record file_bytes
set -euo pipefail
units=$2
rounds=$3
poll=${4:-1000}
members=${5:-}
BENCH_TMPDIR=${SMD_BENCH_DIR:-/var/tmp}
source "$(dirname "$0")/common.sh"

start_units "$units"

{
  printf '{ "database": "%s/site.db", "plugins": ["%s/rtmk48_pv05.so"], "rounds": %d,\n' \
    "$tmp" "$build" "$rounds"
  printf '  "history": { %s },\n' "$members"
  printf '  "devices": [\n'
  for ((k = 1; k <= units; k++)); do
    printf '    { "model": "rtmk48_pv05", "dataId": %d, "port": "%s/u%d", "pollIntervalMs": %d,\n' \
      "$k" "$tmp" "$k" "$poll"
    printf '      "delayScale": 0.002, "replyTimeoutMs": 1000, "workDir": "%s",\n' "$src"
    printf '      "signalMap": "%s/ini/rtmk48_pv05.signals.json",\n' "$src"
    printf '      "settings": { "appSetting": { "b_mode": 1 } } }%s\n' "$([ $k -lt $units ] && echo ,)"
  done
  printf '  ] }\n'
} >"$tmp/site.json"

# Waits for the host without reaping it, reads what it wrote, then reaps it.
python3 - "$tmp/io" "$build/smdhost" --site "$tmp/site.json" >"$tmp/host.log" 2>&1 <<'PY' ||
import os, sys
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[2], sys.argv[2:])
os.waitid(os.P_PID, pid, os.WEXITED | os.WNOWAIT)
io = dict(l.split(": ") for l in open(f"/proc/{pid}/io").read().splitlines() if l)
open(sys.argv[1], "w").write(io["write_bytes"] + "\n")
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
PY
  { echo "history_bytes: smdhost failed:" >&2; tail -20 "$tmp/host.log" >&2; exit 1; }
summary=$(grep '^summary:' "$tmp/host.log")
stored=$(sed -E 's/.* ([0-9]+) records stored.*/\1/' <<<"$summary")
written=$(cat "$tmp/io")
# SMD_KEEP_DB=FILE keeps a copy of the database for a closer look (bytes per table, say).
if [ -n "${SMD_KEEP_DB:-}" ]; then cp "$tmp/site.db" "$SMD_KEEP_DB" && cp "$tmp/host.log" "$SMD_KEEP_DB.log"; fi
size=$(stat -c %s "$tmp/site.db")
awk -v u="$units" -v r="$rounds" -v p="$poll" -v s="$stored" -v w="$written" -v f="$size" \
  'BEGIN { printf "%d %d %d %d %d %.0f %d\n", u, r, p, s, w, (s ? w / s : 0), f }'
