#!/usr/bin/env bash
# snmpwalk of SMDHOST-MIB through Debian's snmpd (AgentX master on loopback) while one smdhost
# polls N in-process simulated units for R rounds each; the same run again without walks shows
# what the walks cost polling.
# Usage: bench/snmp_walk.sh BUILD_DIR N R   (SMD_POLL_MS: the units' poll interval, default 0:
# back to back, CPU-bound; SMD_WALK=next: GETNEXT walks instead of GETBULK)
# Prints one line: units rounds varbinds walk_ms_median walk_ms_max walks wall_s_idle wall_s_walked
# smdhost_cpu_s_idle smdhost_cpu_s_walked (its own user + system time, the subagent's thread
# included; snmpd's and snmpwalk's are not) agent_cpu_s_idle agent_cpu_s_walked (the subagent
# thread's alone) polling_cpu_us_per_round_idle polling_cpu_us_per_round_walked (smdhost's less
# the subagent thread's, per unit and round)
set -euo pipefail
units=$2
rounds=$3
source "$(dirname "$0")/common.sh"
[ -n "${SMD_KEEP:-}" ] && trap - EXIT

port=$(python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir "$tmp/state"
printf 'agentAddress udp:127.0.0.1:%d\nmaster agentx\nagentXSocket %s/agentx\nrocommunity public 127.0.0.1\n' \
  "$port" "$tmp" >"$tmp/snmpd.conf"
SNMP_PERSISTENT_DIR=$tmp/state /usr/sbin/snmpd -f -Lo -C -c "$tmp/snmpd.conf" >"$tmp/snmpd.log" 2>&1 &
pids+=($!)

site() {  # site.json polling every unit R rounds as fast as the simulator answers
  printf '{ "database": "%s/site-%s.db", "plugins": ["%s/rtmk48_pv05.so"], "rounds": %d,\n' \
    "$tmp" "$1" "$build" "$rounds"
  printf '  "snmp": { "agentxSocket": "%s/agentx" },\n  "devices": [\n' "$tmp"
  for ((k = 1; k <= units; k++)); do
    printf '    { "model": "rtmk48_pv05", "dataId": %d, "port": "simulated", "pollIntervalMs": %d,\n' "$k" "${SMD_POLL_MS:-0}"
    printf '      "delayScale": 0.002, "workDir": "%s",\n' "$src"
    printf '      "signalMap": "%s/ini/rtmk48_pv05.signals.json",\n' "$src"
    printf '      "settings": { "appSetting": { "b_mode": 1 } } }%s\n' "$([ $k -lt $units ] && echo ,)"
  done
  printf '  ] }\n'
}
# A walk the host's exit cuts short ends in an error; it is not counted below.
# GETBULK of 50 variables a request, as a manager reading tables (snmptable) asks;
# SMD_WALK=next walks with one GETNEXT a variable instead.
walk() {
  local how=(snmpbulkwalk -Cr50)
  [ "${SMD_WALK:-bulk}" = next ] && how=(snmpwalk)
  "${how[@]}" -v2c -c public -On -t 5 -r 0 "127.0.0.1:$port" .1.3.6.1.4.1.8072.9999.9999.48 2>/dev/null
}

# The subagent thread's CPU seconds (user + system), read every 0.2 s until smdhost, the child
# of /usr/bin/time $1, ends: the last reading, into $2. Builtins only: a sampler that forks a
# process per thread every tenth of a second took half a core from the walks it measured.
agent_cpu() {
  local pid="" tid="" t comm f ticks=0
  until [ -n "$pid" ] || ! kill -0 "$1" 2>/dev/null; do pid=$(pgrep -P "$1" smdhost || sleep 0.05); done
  while [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; do
    if [ -z "$tid" ]; then
      for t in /proc/"$pid"/task/*; do
        read -r comm 2>/dev/null <"$t/comm" || continue
        if [ "$comm" = smdhost-snmp ]; then tid=$t; fi
      done
    fi
    if [ -n "$tid" ] && read -r -a f 2>/dev/null <"$tid/stat"; then ticks=$((f[13] + f[14])); fi
    sleep 0.2
  done
  echo "$ticks / $(getconf CLK_TCK)" | bc -l >"$2"
}

# Idle: the subagent registered and answering nothing.
site idle >"$tmp/idle.json"
start=$(date +%s.%N)
/usr/bin/time -f '%U %S' -o "$tmp/idle.time" "$build/smdhost" --site "$tmp/idle.json" >"$tmp/idle.log" 2>&1 &
timer=$!
agent_cpu "$timer" "$tmp/idle.agent"
wait "$timer"
idle=$(echo "$(date +%s.%N) - $start" | bc)

# Walked: walks back to back from the first registration to the end of polling.
site walked >"$tmp/walked.json"
start=$(date +%s.%N)
/usr/bin/time -f '%U %S' -o "$tmp/walked.time" "$build/smdhost" --site "$tmp/walked.json" >"$tmp/walked.log" 2>&1 &
host=$!
pids+=($host)
agent_cpu "$host" "$tmp/walked.agent" &
sampler=$!
until grep -q "snmp: registered" "$tmp/walked.log" 2>/dev/null; do sleep 0.05; done
: >"$tmp/walks"
varbinds=0
while kill -0 "$host" 2>/dev/null; do
  t0=$(date +%s%N)
  n=$(walk | wc -l) || true
  t1=$(date +%s%N)
  # A walk cut short by the host's exit is not counted.
  if kill -0 "$host" 2>/dev/null; then
    echo $(((t1 - t0) / 1000000)) >>"$tmp/walks"
    if [ "$n" -gt "$varbinds" ]; then varbinds=$n; fi
  fi
done
wait "$host" || true
wait "$sampler"
walked=$(echo "$(date +%s.%N) - $start" | bc)
sort -n "$tmp/walks" >"$tmp/sorted"
count=$(wc -l <"$tmp/sorted")
[ "$count" -gt 0 ] || { echo "snmp_walk: no walk finished" >&2; exit 1; }
median=$(sed -n "$(((count + 1) / 2))p" "$tmp/sorted")
max=$(tail -1 "$tmp/sorted")
cpu() { awk '{ printf "%.2f", $1 + $2 }' "$1"; }
polling() { echo "($(cpu "$tmp/$1.time") - $(cat "$tmp/$1.agent")) * 1000000 / ($units * $rounds)" | bc -l; }
printf '%d %d %d %d %d %d %.2f %.2f %s %s %.2f %.2f %.0f %.0f\n' "$units" "$rounds" "$varbinds" \
  "$median" "$max" "$count" "$idle" "$walked" "$(cpu "$tmp/idle.time")" "$(cpu "$tmp/walked.time")" \
  "$(cat "$tmp/idle.agent")" "$(cat "$tmp/walked.agent")" "$(polling idle)" "$(polling walked)"
