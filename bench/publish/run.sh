#!/usr/bin/env bash
# Publishing a generated mixed tree, timed against single-threaded
# "xz --format=lzma -6" compressing the same files one by one, in the same run.
# Then the tree's next version is published with a delta from the first, to
# show what delta encoding costs. Prints wall and CPU times, their ratios, the
# load average around each step (other work on the machine skews wall times) and
# how the publisher's thread time splits between hashing, compressing and deltas.
#   BUILD_DIR  build directory with patcher-publish (default: build)
#   SIZE_MIB   size of the generated tree (default: 1024)
#   JOBS       publisher jobs (default: nproc)
#   WORK       scratch directory (default: a new one under TMPDIR, removed at the end)
set -euo pipefail
cd "$(dirname "$0")/../.."

BUILD_DIR=${BUILD_DIR:-build}
SIZE_MIB=${SIZE_MIB:-1024}
JOBS=${JOBS:-$(nproc)}
GEN=$BUILD_DIR/tools/examplegen/patcher-examplegen
PUB=$BUILD_DIR/tools/publish/patcher-publish
for tool in "$GEN" "$PUB"; do
  [ -x "$tool" ] || { echo "missing $tool: build the targets patcher-examplegen and patcher-publish" >&2; exit 1; }
done
if [ -z "${WORK:-}" ]; then
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/publish-bench.XXXXXX")
  trap 'rm -rf "$WORK"' EXIT
fi

load() { cut -d' ' -f1 /proc/loadavg; }
# measure TAG TITLE COMMAND...: runs it with its output in $WORK/TAG.out and
# leaves "wall cpu" (seconds) in $WORK/TAG.time.
measure() {
  local tag=$1 title=$2 before
  shift 2
  before=$(load)
  /usr/bin/time -f "%e %U %S" -o "$WORK/$tag.raw" "$@" >"$WORK/$tag.out"
  awk '{ printf "%.1f %.1f\n", $1, $2 + $3 }' "$WORK/$tag.raw" >"$WORK/$tag.time"
  read -r wall cpu <"$WORK/$tag.time"
  echo "$title: wall ${wall} s, cpu ${cpu} s (load average ${before} before, $(load) after)"
  sed 's/^/    /' "$WORK/$tag.out"
}

"$GEN" --out "$WORK/v1" --size-mib "$SIZE_MIB" --seed 1 >/dev/null
"$GEN" --out "$WORK/v2" --size-mib "$SIZE_MIB" --seed 1 --variant 2 >/dev/null
echo "tree: $SIZE_MIB MiB in $(find "$WORK/v1" -type f | wc -l) files (seed 1); publisher jobs: $JOBS; $(nproc) cores"

measure xz "xz --format=lzma -6, one file after another" sh -c \
  'find "$1" -type f -print0 | sort -z | xargs -0 -n1 sh -c '\''xz --format=lzma -6 -T1 -c -- "$1" >/dev/null'\'' xz' \
  sh "$WORK/v1"
measure pub10 "patcher-publish 1.0" "$PUB" --content "$WORK/v1" --version 1.0 --out "$WORK/out" --jobs "$JOBS"
read -r xz_wall xz_cpu <"$WORK/xz.time"
read -r pub_wall pub_cpu <"$WORK/pub10.time"
awk -v p="$pub_wall" -v x="$xz_wall" -v pc="$pub_cpu" -v xc="$xz_cpu" -v n="$(nproc)" 'BEGIN {
  printf "ratio publish / xz, wall time: %.2f (goal: at most 0.60)\n", p / x
  printf "ratio publish / xz, cpu time spread over %d cores: %.2f\n", n, pc / n / xc }'

measure pub11 "patcher-publish 1.1 with a delta from 1.0" "$PUB" --content "$WORK/v2" --version 1.1 \
  --out "$WORK/out" --previous 1.0 --jobs "$JOBS"
du -sh "$WORK/out/1.0" "$WORK/out/1.1" "$WORK/out/1.1/deltas/1.0" | sed 's/^/    /'
