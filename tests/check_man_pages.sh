#!/usr/bin/env bash
# The manual pages keep up with the programs: every option the programs' help texts list,
# every site-file member `smdhost --help` lists (the code's own list, checked against what the
# parser accepts by the site-config tests) and every simulator fault has its entry.
# Usage: check_man_pages.sh SMDHOST RTMK48SIM DIST_DIR
set -euo pipefail
smdhost=$1 sim=$2 dist=$3
fail=0
# The page's text without roff's escaped hyphens and quotes.
text() { sed -e 's/\\-/-/g' -e 's/\\(dq/"/g' "$dist/$1"; }
# missing PAGE KIND WORD...: every WORD set in bold somewhere in PAGE.
missing() {
  local page=$1 kind=$2 word t; shift 2
  t=$(text "$page")
  for word in "$@"; do
    grep -qE "^\.B[IR]? \"?$word([ \"]|$)|\\\\fB$word(\\\\f| |$)|^\.(B|BI|BR|RB) .* $word( |$)" <<<"$t" \
      || { echo "FAIL: $page has no $kind $word"; fail=1; }
  done
}
options() { grep -oE -- '--[a-z][a-z-]*' | sort -u; }

help=$("$smdhost" --help)
for sub in history alarms; do help+=$'\n'$("$smdhost" "$sub" --help 2>&1 || true); done
mapfile -t opts < <(options <<<"$help")
missing smdhost.1 option "${opts[@]}"
missing smdhost.1 command history alarms control
# Members: "  name   text" lines from "Site file (JSON)" on, up to the first blank line.
mapfile -t members < <(sed -n '/^Site file (JSON)/,/^$/p' <<<"$help" |
  sed -nE 's/^ {2,6}([a-zA-Z]+)( {2,}|$).*/\1/p' | sort -u)
[ ${#members[@]} -ge 20 ] || { echo "FAIL: only ${#members[@]} site-file members in --help"; exit 1; }
missing smdhost-site.5 member "${members[@]}"

usage=$("$sim" --help 2>&1 || true)
mapfile -t opts < <(options <<<"$usage")
missing rtmk48sim.1 option "${opts[@]}"
mapfile -t faults < <(sed -n '/^faults:/,$p' <<<"$usage" | sed 's/^faults://' | tr -s ' ' '\n' |
  grep -E '^[a-z_]+$')
[ ${#faults[@]} -ge 10 ] || { echo "FAIL: only ${#faults[@]} faults in rtmk48sim's usage"; exit 1; }
missing rtmk48sim.1 fault "${faults[@]}"

[ $fail -eq 0 ] && echo "ok: ${#members[@]} site-file members, the options of both programs" \
  "and ${#faults[@]} faults in the manual pages"
exit $fail
