#!/usr/bin/env bash
# The download library against curl and aria2c. Builds ravel-get and the storage
# benchmark; runs the storage alone (bench_ravel_write_mode), then ravel-get (1
# and 4 connections), curl and aria2c (-x1 -s1, -x4 -s4, falloc) fetching one
# large incompressible file from nginx on loopback into a fresh file, RUNS times
# in rotating order. Prints
# median wall time, MB/s, CPU (user + system) and peak memory of the client, and
# its time against curl's. Every result is checked by SHA-1, outside the timing.
#   BUILD_DIR  build directory (default: build)
#   SIZE_MIB   size of the downloaded file (default: 1024)
#   RUNS       runs per tool (default: 3)
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/nginx-lib.sh
. bench/lib.sh
BUILD_DIR=${BUILD_DIR:-build} SIZE_MIB=${SIZE_MIB:-1024} RUNS=${RUNS:-3}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATCHER_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" --target ravel-get bench_ravel_write_mode -j "${JOBS:-2}" >/dev/null
B=$(cd "$BUILD_DIR" && pwd)
echo "== storage alone (mapped file and write cache, no network)"
"$B/bench/ravel/bench_ravel_write_mode" --size-mib "$SIZE_MIB" --runs "$RUNS"

W=$(mktemp -d /tmp/ravel-bench-XXXXXX) REMOVE_AT_EXIT=$W
mkdir -p "$W/www" "$W/out"
# One MiB of random bytes, varied per MiB.
python3 -c 'import os, sys; b = os.urandom(1 << 20); f = open(sys.argv[1], "wb")
for i in range(int(sys.argv[2])): f.write(i.to_bytes(8, "little") + b[8:])' "$W/www/big.bin" "$SIZE_MIB"
expected=$(sha1sum <"$W/www/big.bin") # also brings the source into the page cache
start_nginx "$W/www" "$W/nginx"
url=http://127.0.0.1:$PORT/big.bin out=$W/out/big.bin
labels=("ravel-get -c1" "ravel-get -c4" "curl" "aria2c -x1 -s1" "aria2c -x4 -s4")
command_of() {
  local aria=(aria2c -q --file-allocation=falloc --allow-overwrite=true --auto-file-renaming=false -d "$W/out" -o big.bin)
  case $1 in
    0 | 1) cmd=("$B/tools/ravel-get/ravel-get" "$url" "$out" --connections $((1 + 3 * $1))) ;;
    2) cmd=(curl -sS -o "$out" "$url") ;;
    *) cmd=("${aria[@]}" -x$((3 * $1 - 8)) -s$((3 * $1 - 8)) "$url") ;;
  esac
}
for ((r = 0; r < RUNS; r++)); do
  for ((k = 0; k < ${#labels[@]}; k++)); do # rotated, so that drifts hit every tool alike
    t=$(((k + r) % ${#labels[@]}))
    rm -f "$W/out"/*
    sync # the previous tool's dirty pages would otherwise throttle this one's writes
    command_of $t
    timed "$W/time" "${cmd[@]}"
    [ "$(sha1sum <"$out")" = "$expected" ] || { echo "${labels[t]} produced wrong bytes" >&2; exit 1; }
    echo "$t $(cat "$W/time")" >>"$W/results"
  done
done
echo "== $SIZE_MIB MiB from nginx on loopback, $RUNS run(s), medians"
python3 - "$W/results" "$SIZE_MIB" "${labels[@]}" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    t, wall, cpu, kib = line.split()
    runs.setdefault(int(t), []).append((float(wall), float(cpu), int(kib)))
med = lambda t, i: statistics.median(r[i] for r in runs[t])
print("%-16s %9s %9s %9s %12s %9s" % ("tool", "wall s", "MB/s", "CPU s", "peak RSS MiB", "/ curl"))
for t, label in enumerate(sys.argv[3:]):
    print("%-16s %9.2f %9.0f %9.2f %12.1f %9.2f" % (label, med(t, 0), int(sys.argv[2]) * 1.048576 / max(med(t, 0), 0.01),
          med(t, 1), max(r[2] for r in runs[t]) / 1024, med(t, 0) / max(med(2, 0), 0.01)))
PY
