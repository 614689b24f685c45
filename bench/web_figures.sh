#!/usr/bin/env bash
# The web server's figures as a Markdown block: its answers computed in process for 64 devices
# (smd_web_bench), then smdhost polling 64 simulated units while its server is idle and under
# 100 requests a second (bench/smdhost_web.sh). Raw outputs go to OUT_DIR.
# Usage: bench/web_figures.sh BUILD_DIR OUT_DIR [SECONDS]
set -euo pipefail
build=$(cd "$1" && pwd)
out=$2
seconds=${3:-20}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out"

"$build/bench/smd_web_bench" --benchmark_min_time=0.5 --benchmark_format=csv \
  >"$out/web.csv" 2>"$out/web.log"
"$here/smdhost_web.sh" "$build" 64 "$seconds" 100 >"$out/web-load.txt"

gb() { awk -F, -v n="\"$1\"" -v f="$2" '$1 == n { print $f; exit }' "$out/web.csv"; }
type=$(sed -n "s/^CMAKE_BUILD_TYPE:STRING=//p" "$build/CMakeCache.txt")
type=${type:-RelWithDebInfo}  # the project's default when none was given
echo "<!-- web-figures:begin (written by scripts/bench) -->"
echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') ($type build) on $(nproc) x $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo); load average at the end $(cut -d' ' -f1-3 /proc/loadavg)."
echo
echo "**Answers computed in process** (\`smd_web_bench\`: 64 devices, 8 signals, 2 standing alarms"
echo "and 50 kept events each; CPU time of \`WebApi::Answer\`)"
echo
echo "| request | CPU time | answer bytes |"
echo "|---|---:|---:|"
for row in "devices|/api/devices" "values|/api/values" "alarms|/api/alarms" \
           "events|/api/events (10 a device)" "one_device|/api/devices/1" "metrics|/metrics"; do
  IFS='|' read -r name label <<<"$row"
  printf '| `%s` | %.0f us | %.0f |\n' "$label" "$(gb "BM_Answer/$name" 4)" "$(gb "BM_Answer/$name" 11)"
done
echo
echo "**Over loopback while 64 units poll** (\`bench/smdhost_web.sh build 64 $seconds 100\`: one"
echo "keep-alive connection, 100 requests a second cycling through the targets below for"
echo "$seconds s; each unit an \`rtmk48sim\` on its own pty, a round every second)"
echo
echo "| target | requests | p50 ms | p99 ms | max ms |"
echo "|---|---:|---:|---:|---:|"
awk '$1 ~ /^\// || $1 == "all" {
       t = $1; sub(/signal=[^&]*/, "signal=直流输出电压", t)
       printf "| `%s` | %d | %.2f | %.2f | %.2f |\n", t, $2, $3, $4, $5 }' "$out/web-load.txt"
echo
grep '^rate' "$out/web-load.txt" | sed 's/^rate /Achieved: /; s/$/./'
echo
echo "Rounds of the 64 units, how much later than one second after the previous one each started"
echo "(log times have millisecond resolution):"
echo
echo "| server | rounds | p50 ms | p99 ms | max ms |"
echo "|---|---:|---:|---:|---:|"
awk '$1 == "rounds" { printf "| %s | %d | %.0f | %.0f | %.0f |\n", ($2 == "idle" ? "idle" : "100 requests/s"), $3, $4, $5, $6 }' "$out/web-load.txt"
echo "<!-- web-figures:end -->"
