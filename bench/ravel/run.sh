#!/usr/bin/env bash
# Builds ravel-get and the storage benchmark, then runs the storage benchmark
# and the download comparison with curl and aria2c.
#   BUILD_DIR  build directory (default: build)
#   SIZE_MIB   size of the downloaded file (default: 1024)
#   RUNS       runs per tool; the median is shown (default: 3)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" --target ravel-get bench_ravel_storage -j "${JOBS:-2}" >/dev/null
echo "== storage alone (write cache and mapped file, no network)"
for threads in 1 4; do
  "$BUILD_DIR/bench/ravel/bench_ravel_storage" --size-mib "${SIZE_MIB:-1024}" --threads "$threads"
done
echo "== downloads from nginx on loopback"
python3 bench/ravel/download_bench.py --ravel-get "$BUILD_DIR/tools/ravel-get/ravel-get" \
  --size-mib "${SIZE_MIB:-1024}" --runs "${RUNS:-3}"
