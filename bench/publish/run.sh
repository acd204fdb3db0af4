#!/usr/bin/env bash
# The publisher against its goals, side by side in one run on the same tree:
#   1. publishing a first version vs "tar -c DIR | xz -6 -T2":
#      at most 1x its wall time, output at most 1.1x its size;
#   2. publishing the next version (3 % of the files changed) with --previous:
#      at most 0.1x the first publish's wall time;
#   3. peak memory of each publish with the default jobs: at most 256 MiB.
# The tree is generated (bench/publish/gametree.py: thousands of small files,
# mostly incompressible, and a few large ones), or given with --content DIR, whose
# next version is a copy with 3 % of its files changed by a few bytes.
# Other work on the machine skews wall times: the load average is printed around
# each step.
#   bench/publish/run.sh [--content DIR] [--files N] [--size-mib N]
#   BUILD_DIR  build directory with patcher-publish (default: build)
#   WORK       scratch directory (default: a new one under TMPDIR, removed at the end)
set -euo pipefail
cd "$(dirname "$0")/../.."

CONTENT= FILES=16000 SIZE_MIB=173
while [ $# -gt 0 ]; do
  case $1 in
    --content) CONTENT=$(realpath "$2"); shift 2 ;;
    --files) FILES=$2; shift 2 ;;
    --size-mib) SIZE_MIB=$2; shift 2 ;;
    *) echo "usage: $0 [--content DIR] [--files N] [--size-mib N]" >&2; exit 2 ;;
  esac
done
BUILD_DIR=${BUILD_DIR:-build}
PUB=$BUILD_DIR/tools/publish/patcher-publish
[ -x "$PUB" ] || { echo "missing $PUB: build the target patcher-publish" >&2; exit 1; }
for tool in tar xz /usr/bin/time python3; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
if [ -z "${WORK:-}" ]; then
  WORK=$(mktemp -d "${TMPDIR:-/tmp}/publish-bench.XXXXXX")
  trap 'rm -rf "$WORK"' EXIT
fi

load() { cut -d' ' -f1 /proc/loadavg; }
# measure TAG TITLE COMMAND...: runs it with its output in $WORK/TAG.out and
# leaves "wall cpu peak-KiB" in $WORK/TAG.time.
measure() {
  local tag=$1 title=$2 before
  shift 2
  before=$(load)
  /usr/bin/time -f "%e %U %S %M" -o "$WORK/$tag.raw" "$@" >"$WORK/$tag.out" 2>"$WORK/$tag.err" ||
    { cat "$WORK/$tag.err" >&2; exit 1; }
  awk '{ printf "%.2f %.1f %d\n", $1, $2 + $3, $4 }' "$WORK/$tag.raw" >"$WORK/$tag.time"
  read -r wall cpu peak <"$WORK/$tag.time"
  echo "$title: wall ${wall} s, cpu ${cpu} s, peak $((peak / 1024)) MiB (load average ${before} before, $(load) after)"
}
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g ? "met" : "MISSED") }'; }

if [ -n "$CONTENT" ]; then
  V1=$CONTENT
  V2=$WORK/v2
  cp -a "$CONTENT" "$V2"
  # 3 % of the files, spread over the tree, changed by a few bytes at their end.
  find "$V2" -type f | sort | awk 'NR % 33 == 0' | while IFS= read -r f; do printf 'changed' >>"$f"; done
else
  V1=$WORK/v1
  V2=$WORK/v2
  python3 bench/publish/gametree.py --out "$V1" --files "$FILES" --size-mib "$SIZE_MIB" >/dev/null
  python3 bench/publish/gametree.py --out "$V2" --files "$FILES" --size-mib "$SIZE_MIB" --next >/dev/null
fi
bytes=$(du -sbL "$V1" | cut -f1)
echo "tree: $V1, $(find -L "$V1" -type f | wc -l) files, $((bytes >> 20)) MiB; $(nproc) cores; publisher jobs: default"

measure xz "tar -c | xz -6 -T2" sh -c 'tar -c -h -C "$1" . | xz -6 -T2 >"$2"' sh "$V1" "$WORK/tree.tar.xz"
measure pub1 "patcher-publish 1.0" "$PUB" --content "$V1" --version 1.0 --out "$WORK/out"
measure pub2 "patcher-publish 1.1 --previous 1.0" "$PUB" --content "$V2" --version 1.1 --out "$WORK/out" \
  --previous 1.0
sed 's/^/    /' "$WORK/pub2.out"

read -r xz_wall _ xz_peak <"$WORK/xz.time"
read -r p1_wall _ p1_peak <"$WORK/pub1.time"
read -r p2_wall _ p2_peak <"$WORK/pub2.time"
xz_size=$(stat -c %s "$WORK/tree.tar.xz")
p1_size=$(du -sb "$WORK/out/1.0" | cut -f1)
wall=$(awk -v a="$p1_wall" -v b="$xz_wall" 'BEGIN { printf "%.2f", a / b }')
size=$(awk -v a="$p1_size" -v b="$xz_size" 'BEGIN { printf "%.3f", a / b }')
next=$(awk -v a="$p2_wall" -v b="$p1_wall" 'BEGIN { printf "%.3f", a / b }')
peak=$(( (p1_peak > p2_peak ? p1_peak : p2_peak) / 1024 ))
echo "first publish / tar|xz, wall time: $wall (goal at most 1: $(verdict "$wall" 1))"
echo "first publish / tar|xz, size: $size ($p1_size against $xz_size bytes; goal at most 1.1: $(verdict "$size" 1.1))"
echo "next publish / first publish, wall time: $next (goal at most 0.1: $(verdict "$next" 0.1))"
echo "publisher peak memory: $peak MiB, tar|xz $((xz_peak / 1024)) MiB (goal at most 256: $(verdict "$peak" 256))"
