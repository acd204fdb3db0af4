#!/usr/bin/env bash
# Publishing a generated mixed tree, timed against single-threaded
# "xz --format=lzma -6" compressing the same files one by one, in the same run.
# Then the tree's next version is published with a delta from the first, to
# show what delta encoding costs. Prints both times, their ratio and how the
# publisher's thread time splits between hashing, compressing and deltas.
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

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'; }

"$GEN" --out "$WORK/v1" --size-mib "$SIZE_MIB" --seed 1 >/dev/null
"$GEN" --out "$WORK/v2" --size-mib "$SIZE_MIB" --seed 1 --variant 2 >/dev/null
files=$(find "$WORK/v1" -type f | wc -l)
echo "tree: $SIZE_MIB MiB in $files files (seed 1); publisher jobs: $JOBS"

start=$(now)
find "$WORK/v1" -type f -print0 | sort -z |
  xargs -0 -n1 sh -c 'xz --format=lzma -6 -T1 -c -- "$1" >/dev/null' xz
xz_time=$(elapsed "$start" "$(now)")
echo "xz --format=lzma -6, one file after another: ${xz_time} s"

start=$(now)
"$PUB" --content "$WORK/v1" --version 1.0 --out "$WORK/out" --jobs "$JOBS" >"$WORK/publish-1.0.txt"
pub_time=$(elapsed "$start" "$(now)")
echo "patcher-publish 1.0: ${pub_time} s"
sed 's/^/    /' "$WORK/publish-1.0.txt"
awk -v p="$pub_time" -v x="$xz_time" 'BEGIN { printf "ratio publish / xz: %.2f (goal: at most 0.60)\n", p / x }'

start=$(now)
"$PUB" --content "$WORK/v2" --version 1.1 --out "$WORK/out" --previous 1.0 --jobs "$JOBS" >"$WORK/publish-1.1.txt"
echo "patcher-publish 1.1 with a delta from 1.0: $(elapsed "$start" "$(now)") s"
sed 's/^/    /' "$WORK/publish-1.1.txt"
du -sh "$WORK/out/1.0" "$WORK/out/1.1" "$WORK/out/1.1/deltas/1.0" | sed 's/^/    /'
