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
. bench/lib.sh

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
if [ -z "${WORK:-}" ]; then WORK=$(mktemp -d "${TMPDIR:-/tmp}/publish-bench.XXXXXX"); REMOVE_AT_EXIT=$WORK; fi

load() { cut -d' ' -f1 /proc/loadavg; }
# measure TAG TITLE COMMAND...: its output in $WORK/TAG.out, "wall cpu peak-KiB" in $WORK/TAG.
measure() {
  local tag=$1 title=$2 before
  shift 2
  before=$(load)
  timed "$WORK/$tag" "$@"
  read -r wall cpu peak <"$WORK/$tag"
  echo "$title: wall ${wall} s, cpu $(calc "$cpu" .1f) s, peak $((peak / 1024)) MiB (load average ${before} before, $(load) after)"
}
verdict() { calc "'met' if $1 <= $2 else 'MISSED'" s; }

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

read -r xz_wall _ xz_peak <"$WORK/xz"
read -r p1_wall _ p1_peak <"$WORK/pub1"
read -r p2_wall _ p2_peak <"$WORK/pub2"
xz_size=$(stat -c %s "$WORK/tree.tar.xz")
p1_size=$(du -sb "$WORK/out/1.0" | cut -f1)
wall=$(calc "$p1_wall / $xz_wall")
size=$(calc "$p1_size / $xz_size" .3f)
next=$(calc "$p2_wall / $p1_wall" .3f)
peak=$(( (p1_peak > p2_peak ? p1_peak : p2_peak) / 1024 ))
echo "first publish / tar|xz, wall time: $wall (goal at most 1: $(verdict "$wall" 1))"
echo "first publish / tar|xz, size: $size ($p1_size against $xz_size bytes; goal at most 1.1: $(verdict "$size" 1.1))"
echo "next publish / first publish, wall time: $next (goal at most 0.1: $(verdict "$next" 0.1))"
echo "publisher peak memory: $peak MiB, tar|xz $((xz_peak / 1024)) MiB (goal at most 256: $(verdict "$peak" 256))"
