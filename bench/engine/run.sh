#!/usr/bin/env bash
# The updater end to end against what a user would otherwise run, side by side
# in one run, served by nginx on loopback. Jobs, each RUNS times in rotating order:
#   install  fresh install of the example (SIZE_MIB) by patcher; ravel-get of its
#            packages and the engine's decoding and hashing alone (bench_engine_stage);
#            aria2c -x4 of the packages, then xz -d of every entry
#   update   1.0 -> 1.1 by patcher (bytes nginx sent); ravel-get of the delta
#            packages, xdelta3 -d of every delta, and the decoding and hashing
#            alone of the files no delta covers
#   noop     patcher on an installed tree of SMALL_FILES files; rsync -an --delete
#   small    fresh install of SMALL_FILES files of SMALL_KIB KiB; tar -xf
#   single   fresh install of SINGLES files fetched one by one (as single entries)
#            through a proxy adding RTT_MS of round trip; curl -Z of the same
#            ranges through it, 4 at a time, shows what the link itself allows
# Prints one table of medians with the goal beside each row.
#   BUILD_DIR    build directory (default: build)
#   SIZE_MIB     size of the example (default 256; the goals speak of 1024)
#   EXAMPLE_SMALL  small files (2 KiB of text) added to the example (default 5000)
#   SMALL_FILES  (default 50000)   SMALL_KIB (default 4)
#   SINGLES      (default 500)     RTT_MS (default 50)
#   RUNS         repetitions of each job (default 3)
#   ONLY         the jobs to run, e.g. "single" (default: all); the table shows their rows
#   WORK         scratch directory, kept: inputs are made once per set of sizes
#                (default /tmp/patcher-bench-engine)
set -euo pipefail
cd "$(dirname "$0")/../.."
HERE=$(pwd)/bench/engine
. scripts/nginx-lib.sh
. bench/lib.sh
BUILD_DIR=${BUILD_DIR:-build}
SIZE_MIB=${SIZE_MIB:-256}
EXAMPLE_SMALL=${EXAMPLE_SMALL:-5000}
SMALL_FILES=${SMALL_FILES:-50000}
SMALL_KIB=${SMALL_KIB:-4}
SINGLES=${SINGLES:-500}
RTT_MS=${RTT_MS:-50}
RUNS=${RUNS:-3}
read -r -a RUN_JOBS <<<"${ONLY:-install update noop small single}"
WORK=${WORK:-/tmp/patcher-bench-engine}

for tool in aria2c rsync xz xdelta3 nginx; do
  command -v "$tool" >/dev/null || { scripts/setup.sh; break; }
done
cmake -S . -B "$BUILD_DIR" >/dev/null
cmake --build "$BUILD_DIR" -j "${JOBS:-2}" \
  --target patcher patcher-publish patcher-examplegen ravel-get bench_engine_stage >/dev/null
B=$(cd "$BUILD_DIR" && pwd)
PUBLISH="$B/tools/publish/patcher-publish"
RAVEL_GET="$B/tools/ravel-get/ravel-get"

IN="$WORK/in-$SIZE_MIB-$EXAMPLE_SMALL-$SMALL_FILES-$SMALL_KIB-$SINGLES"
RUN="$WORK/run"
rm -rf "$RUN"; mkdir -p "$RUN" "$IN"
RESULTS="$RUN/results"

# Our programs beside their configuration; the single-entries copy never
# downloads a package whole.
for variant in bin bin-single; do
  mkdir -p "$RUN/$variant"
  cp "$B/app/patcher" "$B/app/patcher.properties" "$RUN/$variant/"
done
sed -i -e 's/^logic.pack-download-by-percent.*/logic.pack-download-by-percent = 101/' \
  -e 's/^logic.pack-download-by-missing.*/logic.pack-download-by-missing = 100000000/' \
  "$RUN/bin-single/patcher.properties"
PATCHER="$RUN/bin/patcher"

if [ ! -e "$IN/.complete" ]; then
  echo "== making the inputs in $IN (once per set of sizes)"
  rm -rf "$IN"; mkdir -p "$IN"
  add_small() { python3 "$HERE/helpers.py" tree "$1/small" "$EXAMPLE_SMALL" 2048 text; }
  publish_example "$IN" "$SIZE_MIB" add_small
  python3 "$HERE/helpers.py" tree "$IN/small-content" "$SMALL_FILES" $((SMALL_KIB * 1024)) random
  "$PUBLISH" --content "$IN/small-content" --version 1.0 --out "$IN/site/small" >/dev/null 2>&1
  tar -cf "$IN/small.tar" -C "$IN/small-content" .
  python3 "$HERE/helpers.py" tree "$IN/single-content" "$SINGLES" 16384 text
  "$PUBLISH" --content "$IN/single-content" --version 1.0 --out "$IN/site/single" >/dev/null 2>&1
  for v in 1.0 1.1; do python3 "$HERE/helpers.py" unlzma "$IN/site/game/$v/control.txt.7z" > "$IN/control-$v.txt"; done
  python3 "$HERE/helpers.py" unlzma "$IN/site/game/1.1/deltas/1.0/control.txt.7z" > "$IN/control-delta.txt"
  python3 "$HERE/helpers.py" uncovered "$IN/control-1.1.txt" "$IN/control-1.0.txt" "$IN/control-delta.txt" \
    > "$IN/control-uncovered.txt"
  python3 "$HERE/helpers.py" deltas "$IN/control-delta.txt" "$IN/site/game/1.1/deltas/1.0" \
    "$IN/content/1.0" "$IN/xdelta" > "$IN/xdelta.list"
  touch "$IN/.complete"
fi
for v in 1.0 1.1; do
  echo "example $v: $(du -sb "$IN/content/$v" | cut -f1) bytes in $(find "$IN/content/$v" -type f | wc -l) files," \
    "$(ls "$IN/site/game/$v"/*.pak | wc -l) packages of $(cat "$IN/site/game/$v"/*.pak | wc -c) bytes"
done

start_nginx "$IN/site" "$RUN/nginx"
SRC="http://127.0.0.1:$PORT"
coproc PROXY { exec python3 "$HERE/delay_proxy.py" "$RTT_MS" "$PORT"; }
read -r PROXY_PORT <&"${PROXY[0]}"

# measure JOB ROLE COMMAND...: one line "JOB ROLE wall cpu peak-rss-KiB bytes-sent".
measure() {
  local job=$1 role=$2; shift 2
  sync
  : > "$ACCESS"
  timed "$RUN/time" "$@"
  sleep 0.2 # nginx writes its log line after the body
  cp "$ACCESS" "$RUN/$job-$role.access" # the last run's requests, for a look at their timing
  echo "$job $role $(cat "$RUN/time") $(awk '{ s += $1 } END { print s + 0 }' "$ACCESS")" >> "$RESULTS"
}
fetch_all() { # tool dir url...
  local tool=$1 dir=$2 url; shift 2
  rm -rf "$dir"; mkdir -p "$dir"
  for url in "$@"; do
    if [ "$tool" = ravel-get ]; then "$RAVEL_GET" "$url" "$dir/$(basename "$url")" --connections 4
    else aria2c -q -x4 -s4 -d "$dir" "$url"; fi
  done
}
urls() { local f; for f in "$IN/site/$1"/*.pak; do echo "$SRC/${f#"$IN/site/"}"; done; }
export -f fetch_all
export RAVEL_GET

# The installed states the update and no-op jobs start from (also warms the caches).
rm -rf "$RUN/installed" "$RUN/small-installed"
[[ " ${RUN_JOBS[*]} " != *" update "* ]] || "$PATCHER" --url "$SRC/game/1.0/" --dest "$RUN/installed" >/dev/null
[[ " ${RUN_JOBS[*]} " != *" noop "* ]] || "$PATCHER" --url "$SRC/small/1.0/" --dest "$RUN/small-installed" >/dev/null
echo "update needed 0 0 0 $(python3 "$HERE/helpers.py" needed "$IN/control-1.1.txt" "$IN/control-1.0.txt" \
  "$IN/control-delta.txt" "$IN/site/game/1.1")" >> "$RESULTS"

job_install() {
  rm -rf "$RUN/dest"
  measure install patcher "$PATCHER" --url "$SRC/game/1.0/" --dest "$RUN/dest"
  rm -rf "$RUN/dest"
  measure install ravel-get bash -c 'fetch_all ravel-get "$@"' _ "$RUN/alone" $(urls game/1.0)
  rm -rf "$RUN/stage"; mkdir -p "$RUN/stage"
  measure install stage "$B/bench/engine/bench_engine_stage" "$IN/control-1.0.txt" "$IN/site/game/1.0" "$RUN/stage"
  measure install by-hand bash -c 'fetch_all aria2c "$1" "${@:4}" && python3 "$2" unpack "$3" "$1" "$1/tree"' _ \
    "$RUN/alone" "$HERE/helpers.py" "$IN/control-1.0.txt" $(urls game/1.0)
  rm -rf "$RUN/alone" "$RUN/stage"
}
job_update() {
  rm -rf "$RUN/dest"; cp -a "$RUN/installed" "$RUN/dest"
  measure update patcher "$PATCHER" --url "$SRC/game/1.1/" --dest "$RUN/dest"
  diff -rq -x .kvo.meta.dir "$IN/content/1.1" "$RUN/dest" >/dev/null || { echo "update: the tree differs from 1.1"; exit 1; }
  measure update ravel-get bash -c 'fetch_all ravel-get "$@"' _ "$RUN/alone" $(urls game/1.1/deltas/1.0)
  measure update xdelta3 python3 "$HERE/helpers.py" xdelta "$IN/xdelta.list"
  rm -rf "$RUN/stage"; mkdir -p "$RUN/stage"
  measure update stage "$B/bench/engine/bench_engine_stage" "$IN/control-uncovered.txt" "$IN/site/game/1.1" "$RUN/stage"
  rm -rf "$RUN/dest" "$RUN/alone" "$RUN/stage"
}
job_noop() {
  measure noop patcher "$PATCHER" --url "$SRC/small/1.0/" --dest "$RUN/small-installed"
  measure noop rsync rsync -an --delete --exclude=.kvo.meta.dir "$IN/small-content/" "$RUN/small-installed/"
}
job_small() {
  rm -rf "$RUN/dest"
  measure small patcher "$PATCHER" --url "$SRC/small/1.0/" --dest "$RUN/dest"
  rm -rf "$RUN/dest"; mkdir -p "$RUN/dest"
  measure small tar tar -xf "$IN/small.tar" -C "$RUN/dest"
  rm -rf "$RUN/dest"
}
python3 "$HERE/helpers.py" unlzma "$IN/site/single/1.0/control.txt.7z" > "$RUN/control-single.txt"
python3 "$HERE/helpers.py" ranges "$RUN/control-single.txt" "http://127.0.0.1:$PROXY_PORT/single/1.0/" \
  "$RUN/alone" > "$RUN/single.curl"
job_single() {
  rm -rf "$RUN/dest"
  measure single patcher "$RUN/bin-single/patcher" --url "http://127.0.0.1:$PROXY_PORT/single/1.0/" --dest "$RUN/dest"
  measure single transfer bash -c 'fetch_all ravel-get "$@"' _ "$RUN/alone" $(urls single/1.0)
  rm -rf "$RUN/alone"; mkdir -p "$RUN/alone"
  measure single curl curl -s -Z --parallel-max 4 -K "$RUN/single.curl"
  rm -rf "$RUN/dest" "$RUN/alone"
}

for ((r = 0; r < RUNS; r++)); do
  for ((j = 0; j < ${#RUN_JOBS[@]}; j++)); do
    job=${RUN_JOBS[$(((j + r) % ${#RUN_JOBS[@]}))]}
    echo "== run $((r + 1)) of $RUNS: $job"
    "job_$job"
  done
done
python3 "$HERE/helpers.py" table "$RESULTS" "$RTT_MS" "$SINGLES"
