# Sourced by the bench scripts, with the build directory as $1: sets $build, $src (the source
# tree) and $tmp (a directory removed at exit, in $BENCH_TMPDIR when set), stops every process
# in $pids (and $host first, when set) at exit, and gives start_units N: N rtmk48sim programs,
# each on a pty of its own at $tmp/u1 ... $tmp/uN.
build=$(cd "$1" && pwd)
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
tmp=$(mktemp -d ${BENCH_TMPDIR:+--tmpdir="$BENCH_TMPDIR"})
pids=()
host=""
cleanup() {
  if [ -n "$host" ]; then kill "$host" 2>/dev/null && wait "$host" 2>/dev/null || true; fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT

start_units() {
  local k t
  for ((k = 1; k <= $1; k++)); do
    "$build/rtmk48sim" --link "$tmp/u$k" >/dev/null 2>&1 &
    pids+=($!)
  done
  for ((k = 1; k <= $1; k++)); do
    t=0
    while [ ! -e "$tmp/u$k" ] && [ $t -lt 200 ]; do sleep 0.05; t=$((t + 1)); done
    [ -e "$tmp/u$k" ] || { echo "$(basename "$0" .sh): simulator $k did not start" >&2; exit 1; }
  done
}
