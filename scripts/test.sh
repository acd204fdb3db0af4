#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the test suite.
# Exit status is the tests' status.
#   BUILD_DIR   build directory (default: build)
#   CMAKE_ARGS  extra configure arguments (for example -DPATCHER_SANITIZE=ON)
#   CTEST_ARGS  extra ctest arguments (for example -R Pipeline)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
scripts/check-layers.sh

BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-$(nproc)}
# shellcheck disable=SC2086
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$JOBS"
cd "$BUILD_DIR"
# shellcheck disable=SC2086
ctest --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}
