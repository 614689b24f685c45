#!/usr/bin/env bash
# The plug-in's binary surface: its SONAME, its needs and its one exported symbol.
set -euo pipefail
so=$1
readelf=${READELF:-readelf}
fail() { echo "FAIL: $*" >&2; exit 1; }

dyn=$("$readelf" -dW "$so")
grep -q 'Library soname: \[rtmk48_pv05.so\]' <<<"$dyn" || fail "SONAME is not rtmk48_pv05.so"
needed=$(grep -o 'Shared library: \[[^]]*\]' <<<"$dyn" | sed 's/.*\[\(.*\)\]/\1/')
for lib in $needed; do
  case $lib in
    libstdc++.so.*|libm.so.*|libgcc_s.so.*|libc.so.*) ;;
    *) fail "unexpected NEEDED $lib" ;;
  esac
done

# Defined, exported symbols (the dynamic symbol table minus undefined ones).
exported=$("$readelf" -W --dyn-syms "$so" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $4 != "SECTION" {print $8}' | sed 's/@.*//' | sort -u)
[ "$exported" = "get_providers" ] || fail "exported symbols are not just get_providers: $(echo $exported)"

# jsoncpp and host symbols must be left to the host process.
"$readelf" -W --dyn-syms "$so" | awk '$7 == "UND" {print $8}' | grep -q '_ZN4Json5Value' \
  || fail "jsoncpp symbols are not resolved from the host"
echo "ok: $so: SONAME rtmk48_pv05.so, NEEDED $(echo $needed), exports get_providers"
