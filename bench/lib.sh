# Sourced by the benchmarks: timing a command, the example game published in
# two releases (B: the build directory), and ending what a run started.

# timed OUT COMMAND...: runs COMMAND, its output in OUT.out and OUT.err, and
# leaves "wall cpu peak-KiB" (cpu: user + system, in seconds) in OUT. A failure
# shows its errors and ends the script.
timed() {
  local out=$1; shift
  /usr/bin/time -f "%e %U %S %M" -o "$out.raw" "$@" >"$out.out" 2>"$out.err" ||
    { echo "failed: $*" >&2; cat "$out.err" >&2; exit 1; }
  awk '{ printf "%.2f %.2f %d\n", $1, $2 + $3, $4 }' "$out.raw" >"$out"
}

# calc EXPR [FORMAT]: the value of a python expression, formatted (default .2f).
calc() { python3 -c "print(format($1, '${2:-.2f}'))"; }

# publish_example DIR SIZE_MIB [HOOK]: the example game as DIR/content/1.0 and
# 1.1 (HOOK runs on each content directory first), published under
# DIR/site/game, 1.1 with a delta from 1.0.
publish_example() {
  local dir=$1 size=$2 hook=${3:-} v
  for v in 1 2; do
    "$B/tools/examplegen/patcher-examplegen" --out "$dir/content/1.$((v - 1))" --variant $v --size-mib "$size" >/dev/null
    [ -z "$hook" ] || "$hook" "$dir/content/1.$((v - 1))"
  done
  timed "$dir/publish" "$B/tools/publish/patcher-publish" --content "$dir/content/1.0" --version 1.0 \
    --out "$dir/site/game"
  timed "$dir/publish" "$B/tools/publish/patcher-publish" --content "$dir/content/1.1" --version 1.1 \
    --out "$dir/site/game" --previous 1.0
}

# At exit the processes whose ids NGINX_PID and PROXY_PID hold are stopped and
# the path REMOVE_AT_EXIT is removed.
NGINX_PID="" PROXY_PID="" REMOVE_AT_EXIT=""
bench_cleanup() {
  local pid
  for pid in $PROXY_PID $NGINX_PID; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  [ -z "$REMOVE_AT_EXIT" ] || rm -rf "$REMOVE_AT_EXIT"
}
trap bench_cleanup EXIT
