#!/usr/bin/env bash
# Memory of a publication with very many entries: ENTRIES files of 16 bytes in
# one package, served by nginx on loopback. Prints the peak RSS of a fresh
# install and of a no-op over it, beside a small game's install and tar
# extracting the same tree (the reference).
#   BUILD_DIR  build directory (default: build)
#   ENTRIES    (default 1000000)
#   SINGLES    1: also an install of single entries only, one range request
#              each (slow at a million; default 0)
#   WORK       scratch directory, kept: the publication is made once per count
#              (default /tmp/patcher-bench-entries)
#   PATCHER    the updater to measure (default: the build's), to compare builds
set -euo pipefail
cd "$(dirname "$0")/../.."
HERE=$(pwd)/bench/engine
. scripts/nginx-lib.sh
BUILD_DIR=${BUILD_DIR:-build}
ENTRIES=${ENTRIES:-1000000}
WORK=${WORK:-/tmp/patcher-bench-entries}
cmake --build "$BUILD_DIR" -j "${JOBS:-2}" --target patcher patcher-publish >/dev/null
B=$(cd "$BUILD_DIR" && pwd)

IN="$WORK/in-$ENTRIES"
RUN="$WORK/run"
rm -rf "$RUN"; mkdir -p "$RUN" "$IN"
NGINX_PID=""
cleanup() {
  if [ -n "$NGINX_PID" ]; then kill "$NGINX_PID" 2>/dev/null || true; wait "$NGINX_PID" 2>/dev/null || true; fi
  rm -rf "$RUN"
}
trap cleanup EXIT

if [ ! -e "$IN/.complete" ]; then
  echo "== making the publication in $IN (once per count)"
  rm -rf "$IN"; mkdir -p "$IN"
  python3 "$HERE/helpers.py" tree "$IN/content" "$ENTRIES" 16 text
  python3 "$HERE/helpers.py" tree "$IN/small-content" 100 16 text
  "$B/tools/publish/patcher-publish" --content "$IN/content" --version 1.0 --out "$IN/site/game" >/dev/null 2>&1
  "$B/tools/publish/patcher-publish" --content "$IN/small-content" --version 1.0 --out "$IN/site/small" >/dev/null 2>&1
  tar -cf "$IN/content.tar" -C "$IN/content" .
  touch "$IN/.complete"
fi

# The single-entries copy never downloads a package whole.
for variant in bin bin-single; do
  mkdir -p "$RUN/$variant"
  cp "${PATCHER:-$B/app/patcher}" "$RUN/$variant/patcher"
  cp "$B/app/patcher.properties" "$RUN/$variant/"
done
sed -i -e 's/^logic.pack-download-by-percent.*/logic.pack-download-by-percent = 101/' \
  -e 's/^logic.pack-download-by-missing.*/logic.pack-download-by-missing = 100000000/' \
  "$RUN/bin-single/patcher.properties"

start_nginx "$IN/site" "$RUN/nginx"
SRC="http://127.0.0.1:$PORT"

# measure COMMAND...: sets KIB and WALL to the command's peak RSS and wall time.
measure() {
  /usr/bin/time -f "%M %e" -o "$RUN/time" "$@" >/dev/null 2>"$RUN/stderr" ||
    { echo "$* failed:"; tail -5 "$RUN/stderr"; exit 1; }
  read -r KIB WALL < <(tail -1 "$RUN/time")
}

# The reference first: tar unpacking the same tree, so every row has its ratio.
rm -rf "$RUN/dest" && mkdir -p "$RUN/dest"
measure tar -xf "$IN/content.tar" -C "$RUN/dest"
TAR_KIB=$KIB TAR_WALL=$WALL
rm -rf "$RUN/dest"

# peak ROW COMMAND...: prints the row, its peak RSS and wall time, and both against tar's.
peak() {
  local row=$1; shift
  measure "$@"
  python3 -c "print('%-28s %8.1f MiB %8.1f s %9.1fx %9.2fx' % ('$row', $KIB / 1024, $WALL, $KIB / $TAR_KIB, $WALL / max($TAR_WALL, 0.01)))"
}

printf '%-28s %12s %10s %10s %10s\n' "$ENTRIES entries" "peak RSS" "wall" "RSS/tar" "wall/tar"
printf '%-28s %8.1f MiB %8.1f s\n' "tar -xf (reference)" "$(python3 -c "print($TAR_KIB / 1024)")" "$TAR_WALL"
rm -rf "$RUN/dest"
peak "small game install" "$RUN/bin/patcher" --url "$SRC/small/1.0/" --dest "$RUN/dest"
rm -rf "$RUN/dest"
peak "install (whole package)" "$RUN/bin/patcher" --url "$SRC/game/1.0/" --dest "$RUN/dest"
peak "no-op" "$RUN/bin/patcher" --url "$SRC/game/1.0/" --dest "$RUN/dest"
rm -rf "$RUN/dest"
if [ "${SINGLES:-0}" = 1 ]; then
  peak "install (single entries)" "$RUN/bin-single/patcher" --url "$SRC/game/1.0/" --dest "$RUN/dest"
  rm -rf "$RUN/dest"
fi
