#!/usr/bin/env bash
# Builds the updater and shows it at work on a built-in example.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh >/dev/null

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target patcher >/dev/null

PATCHER="$BUILD_DIR/app/patcher"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

echo "== patcher --help"
"$PATCHER" --help

echo
echo "== a run with its log on the console and in $WORK/logs"
set +e
"$PATCHER" --url "$WORK/distribution" --dest "$WORK/game" --log-dir "$WORK/logs" --log-file demo
rc=$?
set -e
echo "exit code: $rc"
echo
echo "== the log file"
cat "$WORK"/logs/demo-*.log
