#!/usr/bin/env bash
# The plug-in's binary surface: its machine, its SONAME, its needs and its one exported symbol.
# READELF names the target's readelf; SMD_TARGET_PROCESSOR (x86_64 or arm) the expected machine.
set -euo pipefail
so=$1
readelf=${READELF:-readelf}
fail() { echo "FAIL: $*" >&2; exit 1; }

case ${SMD_TARGET_PROCESSOR:-$(uname -m)} in
  x86_64) machine='ELF 64-bit LSB shared object, x86-64' ;;
  arm*) machine='ELF 32-bit LSB shared object, ARM, EABI5' ;;
  *) fail "no expected machine for processor ${SMD_TARGET_PROCESSOR:-$(uname -m)}" ;;
esac
kind=$(file -bL "$so")
[[ $kind == "$machine"* ]] || fail "file says '$kind', expected '$machine'"

dyn=$("$readelf" -dW "$so")
grep -q 'Library soname: \[rtmk48_pv05.so\]' <<<"$dyn" || fail "SONAME is not rtmk48_pv05.so"
needed=$(grep -o 'Shared library: \[[^]]*\]' <<<"$dyn" | sed 's/.*\[\(.*\)\]/\1/')
for lib in $needed; do
  case $lib in
    libstdc++.so.*|libm.so.*|libgcc_s.so.*|libc.so.*) ;;
    # The stack protector's guard lives in the dynamic loader on 32-bit ARM (part of libc6).
    ld-linux-armhf.so.*) ;;
    *) fail "unexpected NEEDED $lib" ;;
  esac
done

# Defined, exported symbols (the dynamic symbol table minus undefined ones).
exported=$("$readelf" -W --dyn-syms "$so" | awk '$7 != "UND" && ($5 == "GLOBAL" || $5 == "WEAK") && $4 != "SECTION" {print $8}' | sed 's/@.*//' | sort -u)
[ "$exported" = "get_providers" ] || fail "exported symbols are not just get_providers: $(echo $exported)"

# jsoncpp and host symbols must be left to the host process. (Captured first: an early grep -q
# exit would fail the pipeline under pipefail.)
undefined=$("$readelf" -W --dyn-syms "$so" | awk '$7 == "UND" {print $8}')
grep -q '_ZN4Json5Value' <<<"$undefined" || fail "jsoncpp symbols are not resolved from the host"
echo "ok: $so: $machine, SONAME rtmk48_pv05.so, NEEDED $(echo $needed), exports get_providers"
