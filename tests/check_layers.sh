#!/usr/bin/env bash
# House rules, read from the sources: each folder includes only the folders at or below its floor,
# and no product file passes 400 lines. Usage: tests/check_layers.sh [SOURCE_DIR]
set -uo pipefail
cd "${1:-$(dirname "$0")/..}"
fail=0
plugin="host plugin device alarm query config"  # the plug-in's folders
sinks="history web mqtt snmp tsdb"
# folder: the folders it may not include
declare -A banned=(
  [plugin]="runtime core runner sim $sinks" [device]="runtime core runner sim $sinks"
  [alarm]="runtime core runner sim $sinks" [query]="runtime core runner sim $sinks"
  [config]="runtime core runner sim $sinks" [host]="plugin device alarm query config runtime core runner sim $sinks"
  [runtime]="plugin device alarm query config core runner sim $sinks"
  [core]="runner sim $sinks"
  # Rows a sink keeps in the history database beside its rows (the forwarders' queues): shared
  # by the history and the forwarders, so it lies below them all.
  [outbox]="runner sim $sinks"
  # The history database as its readers see it: the history sink writes it, the page reads it.
  [store]="runner sim $sinks"
)
for s in $sinks; do banned[$s]="runner sim $(echo $sinks | tr ' ' '\n' | grep -vx "$s" | tr '\n' ' ')"; done
for dir in "${!banned[@]}"; do
  [ -d "$dir" ] || continue
  for f in "$dir"/*.h "$dir"/*.cpp; do
    [ -e "$f" ] || continue
    for used in $(grep -ho '^#include "[a-z_]*/' "$f" | sed 's/#include "//; s#/##' | sort -u); do
      for b in ${banned[$dir]}; do
        [ "$used" = "$b" ] || continue
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
