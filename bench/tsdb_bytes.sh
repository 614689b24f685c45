#!/usr/bin/env bash
# Bytes a record costs on the way to a time-series database: one smdhost polling N simulated
# units (rtmk48sim on ptys) back to back for R rounds with a tsdb member, against a stand-in
# write endpoint on a loopback port that answers 204 and counts what arrives (request line,
# headers and body: HTTP's bytes, not TCP's). Then the same run against a closed port, so every
# line stays in the queue: the queue's bytes per line in the database.
# Usage: bench/tsdb_bytes.sh BUILD_DIR N R [BATCH_LINES]
# Prints: units rounds records lines requests wire_bytes wire_bytes_per_line body_bytes_per_record_line queue_bytes_per_line
set -euo pipefail
units=$2
rounds=$3
batch=${4:-1000}
BENCH_TMPDIR=${SMD_BENCH_DIR:-/var/tmp}
source "$(dirname "$0")/common.sh"

start_units "$units"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 - "$port" "$tmp/wire" <<'PY' &
import http.server, sys
port, out = int(sys.argv[1]), sys.argv[2]
counts = {"requests": 0, "bytes": 0, "lines": 0, "record_body": 0, "records": 0}
class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        head = len(self.requestline) + 2 + len(str(self.headers).encode()) + 2
        counts["requests"] += 1
        counts["bytes"] += head + len(body)
        for line in body.decode().splitlines():
            counts["lines"] += 1
            if line.startswith("smd,"):
                counts["records"] += 1
                counts["record_body"] += len(line.encode()) + 1
        open(out, "w").write(" ".join(str(counts[k]) for k in counts) + "\n")
        self.send_response(204)
        self.send_header("Content-Length", "0")
        self.end_headers()
    def log_message(self, *a): pass
http.server.HTTPServer(("127.0.0.1", port), H).serve_forever()
PY
pids+=($!)

site() {  # $1: database, $2: tsdb url
  printf '{ "database": "%s", "plugins": ["%s/rtmk48_pv05.so"], "rounds": %d,\n' "$1" "$build" "$rounds"
  printf '  "tsdb": { "url": "%s", "siteId": "site-0042", "batchLines": %d },\n' "$2" "$batch"
  printf '  "devices": [\n'
  for ((k = 1; k <= units; k++)); do
    printf '    { "model": "rtmk48_pv05", "dataId": %d, "port": "%s/u%d", "pollIntervalMs": 0,\n' "$k" "$tmp" "$k"
    printf '      "delayScale": 0.002, "replyTimeoutMs": 1000, "workDir": "%s",\n' "$src"
    printf '      "signalMap": "%s/ini/rtmk48_pv05.signals.json",\n' "$src"
    printf '      "settings": { "appSetting": { "b_mode": 1 } } }%s\n' "$([ $k -lt $units ] && echo ,)"
  done
  printf '  ] }\n'
}
site "$tmp/sent.db" "http://127.0.0.1:$port/write" >"$tmp/sent.json"
"$build/smdhost" --site "$tmp/sent.json" >"$tmp/sent.log" 2>&1 ||
  { echo "tsdb_bytes: smdhost failed:" >&2; tail -20 "$tmp/sent.log" >&2; exit 1; }
grep -q 'tsdb_queue_depth 0,' "$tmp/sent.log" || { echo "tsdb_bytes: lines left queued" >&2; exit 1; }
closed=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
site "$tmp/kept.db" "http://127.0.0.1:$closed/write" >"$tmp/kept.json"
"$build/smdhost" --site "$tmp/kept.json" >"$tmp/kept.log" 2>&1 ||
  { echo "tsdb_bytes: smdhost failed:" >&2; tail -20 "$tmp/kept.log" >&2; exit 1; }
queue=$(sqlite3 "$tmp/kept.db" "SELECT count(*), sum(length(CAST(line AS BLOB))) FROM tsdb_queue;" | tr '|' ' ')
read -r requests bytes lines record_body records <"$tmp/wire"
read -r qlines qbytes <<<"$queue"
awk -v u="$units" -v r="$rounds" -v rec="$records" -v l="$lines" -v q="$requests" -v b="$bytes" \
  -v rb="$record_body" -v ql="$qlines" -v qb="$qbytes" \
  'BEGIN { printf "%d %d %d %d %d %d %.0f %.0f %.0f\n", u, r, rec, l, q, b, b / l, rb / rec, qb / ql }'
