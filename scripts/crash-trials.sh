#!/usr/bin/env bash
# Crash trials at a large number by hand: publishes two versions, then N times
# installs or updates, kills the run at a random moment (SIGKILL mostly, SIGINT
# and the launcher's stop too), runs it again to completion and once more, and
# checks the tree, the leftovers, the metadata and that the last run fetched
# nothing. Prints trials run, trials byte-identical and the bytes fetched again.
#   scripts/crash-trials.sh [N] [seed]      (defaults: 100 trials, seed 1)
#   BUILD_DIR   an already configured build directory (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."

TRIALS=${1:-100}
SEED=${2:-1}
BUILD_DIR=${BUILD_DIR:-build}
cmake --build "$BUILD_DIR" -j "${JOBS:-2}" --target engine_e2e_tests patcher patcher-publish patcher-launcher
PATCHER_CRASH_TRIALS=$TRIALS PATCHER_CRASH_SEED=$SEED \
    "$BUILD_DIR/tests/engine/engine_e2e_tests" --gtest_filter='EndToEndCrash.KilledAnywhereTheNextRunCompletes'
