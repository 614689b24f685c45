#!/usr/bin/env bash
# House rules, read from the sources: each folder includes only the folders at or below its floor,
# and no product file passes 400 lines. Usage: tests/check_layers.sh [SOURCE_DIR]
set -uo pipefail
cd "${1:-$(dirname "$0")/..}"
fail=0
plugin="host plugin device alarm query config"  # the plug-in's folders
sinks="history web mqtt snmp"
# folder: the folders it may not include
declare -A banned=(
  [plugin]="runtime core runner sim $sinks" [device]="runtime core runner sim $sinks"
  [alarm]="runtime core runner sim $sinks" [query]="runtime core runner sim $sinks"
  [config]="runtime core runner sim $sinks" [host]="plugin device alarm query config runtime core runner sim $sinks"
  [runtime]="plugin device alarm query config core runner sim $sinks"
  [core]="runner sim $sinks"
)
for s in $sinks; do banned[$s]="runner sim $(echo $sinks | tr ' ' '\n' | grep -vx "$s" | tr '\n' ' ')"; done
# Couplings older than these rules, each to be undone; a new one fails.
known="history/history_sink.h:runner web/web_view.h:runner web/signal_history.cpp:history
mqtt/forwarder.h:history mqtt/outbox.h:history mqtt/outbox.cpp:history mqtt/forwarder.cpp:history
web/web_api.cpp:history web/web_view.cpp:history"
for dir in "${!banned[@]}"; do
  [ -d "$dir" ] || continue
  for f in "$dir"/*.h "$dir"/*.cpp; do
    [ -e "$f" ] || continue
    for used in $(grep -ho '^#include "[a-z_]*/' "$f" | sed 's/#include "//; s#/##' | sort -u); do
      for b in ${banned[$dir]}; do
        [ "$used" = "$b" ] || continue
        if echo "$known" | tr ' ' '\n' | grep -qx "$f:$used"; then continue; fi
        echo "check_layers: $f includes $used/, above its floor"
        fail=1
      done
    done
  done
done
# No product file over the rule.
for f in $(git ls-files '*.h' '*.cpp' 2>/dev/null || find . -name '*.h' -o -name '*.cpp'); do
  case $f in tests/* | fuzz/* | bench/*) continue ;; esac
  n=$(wc -l <"$f")
  if [ "$n" -gt 400 ]; then
    echo "check_layers: $f has $n lines (at most 400)"
    fail=1
  fi
done
exit $fail
