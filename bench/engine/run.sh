#!/usr/bin/env bash
# The updater on a large example, against the download alone: publishes the
# example game in two releases, serves them from nginx on loopback, and times
#   - a fresh install of 1.0 and the update to 1.1 by patcher,
#   - the same package bytes fetched by ravel-get and by curl, one file after
#     another, with the same number of connections per file as patcher.
# Prints wall time, bytes nginx sent and the ratio patcher / ravel-get.
#   BUILD_DIR  build directory (default: build)
#   SIZE_MIB   size of the example (default: 1024)
#   WORK       scratch directory (default: a new one under /tmp; removed)
#   BIN        a build tree's layout of the programs to use as they are (no build)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/nginx-lib.sh
BUILD_DIR=${BUILD_DIR:-build}
SIZE_MIB=${SIZE_MIB:-1024}
if [ -z "${BIN:-}" ]; then
  cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD_DIR" -j "${JOBS:-2}" \
    --target patcher patcher-publish patcher-examplegen ravel-get >/dev/null
  BIN=$(cd "$BUILD_DIR" && pwd)
fi
CONNECTIONS=$(sed -n 's/^app.max-simultaneous-connection *= *//p' "$BIN/app/patcher.properties")

OWN_WORK=""
if [ -z "${WORK:-}" ]; then WORK=$(mktemp -d /tmp/patcher-bench-XXXXXX); OWN_WORK=1; fi
NGINX_PID=""
cleanup() {
  if [ -n "$NGINX_PID" ]; then kill "$NGINX_PID" 2>/dev/null || true; wait "$NGINX_PID" 2>/dev/null || true; fi
  if [ -n "$OWN_WORK" ]; then rm -rf "$WORK"; fi
}
trap cleanup EXIT

now() { date +%s.%N; }
elapsed() { python3 -c "print(f'{$2 - $1:.2f}')"; }
ACCESS="$WORK/nginx/access.log"
served() { sleep 0.3; awk '{ s += $1 } END { print s + 0 }' "$ACCESS"; }
# nginx appends to its log, so truncating it starts the count again.
reset_log() { : > "$ACCESS"; }

echo "== example of $SIZE_MIB MiB, two releases, published"
"$BIN/tools/examplegen/patcher-examplegen" --out "$WORK/content/1.0" --variant 1 --size-mib "$SIZE_MIB" >/dev/null
"$BIN/tools/examplegen/patcher-examplegen" --out "$WORK/content/1.1" --variant 2 --size-mib "$SIZE_MIB" >/dev/null
"$BIN/tools/publish/patcher-publish" --content "$WORK/content/1.0" --version 1.0 --out "$WORK/site/game" >/dev/null
"$BIN/tools/publish/patcher-publish" --content "$WORK/content/1.1" --version 1.1 --out "$WORK/site/game" \
  --previous 1.0 >/dev/null
for v in 1.0 1.1; do
  echo "$v: $(du -sb "$WORK/content/$v" | cut -f1) content bytes, $(cat "$WORK/site/game/$v"/*.pak | wc -c) package bytes"
done

start_nginx "$WORK/site" "$WORK/nginx"
SRC="http://127.0.0.1:$PORT/game"

patcher_run() { # name url
  sync
  reset_log
  local t0 t1 rc=0
  t0=$(now)
  "$BIN/app/patcher" --url "$2" --dest "$WORK/dest" >/dev/null || rc=$?
  t1=$(now)
  echo "$1: exit $rc, $(elapsed "$t0" "$t1") s, $(served) bytes fetched"
  LAST=$(elapsed "$t0" "$t1")
}

# Every package of a version, one after another: the download alone.
alone() { # tool version
  sync
  rm -rf "$WORK/alone"; mkdir -p "$WORK/alone"
  reset_log
  local t0 t1 f
  t0=$(now)
  for f in "$WORK/site/game/$2"/*.pak; do
    f=$(basename "$f")
    if [ "$1" = ravel-get ]; then
      "$BIN/tools/ravel-get/ravel-get" "$SRC/$2/$f" "$WORK/alone/$f" --connections "$CONNECTIONS" >/dev/null
    else
      curl -s -o "$WORK/alone/$f" "$SRC/$2/$f"
    fi
  done
  t1=$(now)
  echo "   $1 (packages of $2): $(elapsed "$t0" "$t1") s, $(served) bytes"
  LAST=$(elapsed "$t0" "$t1")
}

echo "== fresh install of 1.0"
patcher_run "patcher install" "$SRC/1.0/"; INSTALL=$LAST
alone ravel-get 1.0; RAVEL=$LAST
alone curl 1.0
echo "   ratio patcher install / ravel-get download: $(python3 -c "print(f'{$INSTALL / $RAVEL:.2f}')")"
echo "== update to 1.1"
patcher_run "patcher update" "$SRC/1.1/"
if diff -rq -x .kvo.meta.dir "$WORK/content/1.1" "$WORK/dest" >/dev/null; then echo "   destination equals 1.1"; else echo "   destination DIFFERS from 1.1"; fi
echo "== fresh install of 1.1 (for comparison with the update)"
rm -rf "$WORK/dest"
patcher_run "patcher install" "$SRC/1.1/"; INSTALL=$LAST
alone ravel-get 1.1; RAVEL=$LAST
echo "   ratio patcher install / ravel-get download: $(python3 -c "print(f'{$INSTALL / $RAVEL:.2f}')")"
