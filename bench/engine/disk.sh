#!/usr/bin/env bash
# Disk use of a run: publishes the example game in two releases, serves them
# from nginx on loopback, and samples the destination every 20 ms during a
# fresh install of 1.0 and the update to 1.1. Prints the peak of the temporary
# folder and of the whole destination against the publication's package bytes,
# and what the free-space check planned for ("Disk space on ..." in the log).
# rsync copying the same content is the reference: its peak over the final size
# is one file in flight.
#   BUILD_DIR  build directory (default: build)
#   SIZE_MIB   size of the example (default: 512)
#   WORK       scratch directory (default: a new one under /tmp; removed)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/nginx-lib.sh
. bench/lib.sh
BUILD_DIR=${BUILD_DIR:-build}
SIZE_MIB=${SIZE_MIB:-512}
cmake --build "$BUILD_DIR" -j "${JOBS:-2}" --target patcher patcher-publish patcher-examplegen >/dev/null
B=$(cd "$BUILD_DIR" && pwd)
if [ -z "${WORK:-}" ]; then WORK=$(mktemp -d /tmp/patcher-disk-XXXXXX); REMOVE_AT_EXIT=$WORK; fi

publish_example "$WORK" "$SIZE_MIB"
start_nginx "$WORK/site" "$WORK/nginx"
SRC="http://127.0.0.1:$PORT/game"

# du of a folder that vanishes midway prints a total and fails: one number either way.
bytes() { { du -sb "$1" 2>/dev/null || true; } | awk 'END { print $1 + 0 }'; }
mib() { calc "$1 / 1048576" .1f; }
ratio() { calc "$1 / max($2, 1)"; }

# sample PID DIR: peak bytes of DIR/.kvo.tmp.dir and of DIR while PID runs.
sample() {
  local pid=$1 dir=$2 t d
  PEAK_TMP=0; PEAK_ALL=0
  while kill -0 "$pid" 2>/dev/null; do
    t=$(bytes "$dir/.kvo.tmp.dir"); d=$(bytes "$dir")
    [ "$t" -gt "$PEAK_TMP" ] && PEAK_TMP=$t
    [ "$d" -gt "$PEAK_ALL" ] && PEAK_ALL=$d
    sleep 0.02
  done
}

run() { # name version
  local before planned packages pid
  before=$(bytes "$WORK/dest")
  rm -rf "$WORK/logs"
  "$B/app/patcher" --url "$SRC/$2/" --dest "$WORK/dest" -l "$WORK/logs" -r run >/dev/null &
  pid=$!
  sample "$pid" "$WORK/dest"
  wait "$pid"
  planned=$(sed -n 's/.*Disk space on [^:]*: \([0-9]*\) bytes needed.*/\1/p' "$WORK"/logs/run*.log | head -1)
  packages=$(cat "$WORK/site/game/$2"/*.pak | wc -c)
  echo "$1: publication $(mib "$packages") MiB of packages"
  echo "   peak temporary folder $(mib "$PEAK_TMP") MiB: $(ratio "$PEAK_TMP" "$packages") of the publication"
  echo "   peak destination growth $(mib $((PEAK_ALL - before))) MiB, final growth $(mib $(($(bytes "$WORK/dest") - before))) MiB, planned at most $(mib "${planned:-0}") MiB"
}

rm -rf "$WORK/dest"
run "fresh install of 1.0" 1.0
run "update to 1.1" 1.1

# The reference: the same content copied by rsync.
rm -rf "$WORK/rsync"; mkdir -p "$WORK/rsync"
rsync -a "$WORK/content/1.0/" "$WORK/rsync/" &
pid=$!
sample "$pid" "$WORK/rsync"
wait "$pid"
final=$(bytes "$WORK/rsync")
echo "rsync of 1.0: peak $(mib "$PEAK_ALL") MiB for a final $(mib "$final") MiB: $(ratio "$PEAK_ALL" "$final")"
