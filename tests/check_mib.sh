#!/bin/sh
# SMDHOST-MIB under smilint's strictest useful level: any line it prints about the module fails.
# Usage: check_mib.sh SNMP_SOURCE_DIR
set -eu
dir=$1
command -v smilint >/dev/null || { echo "smilint not installed (scripts/setup installs smitools)"; exit 77; }
out=$(SMIPATH="$dir/base-mibs" smilint -l 4 -s "$dir/SMDHOST-MIB.txt" 2>&1 | grep SMDHOST || true)
if [ -n "$out" ]; then
  echo "$out"
  exit 1
fi
echo "SMDHOST-MIB: clean under smilint -l 4"
