#!/usr/bin/env bash
# test.sh - configure, build and test mailward in one go (Ninja, Release with
# debug info, GoogleTest through CTest, benchmarks built but not run).
#
#   scripts/test.sh [extra cmake configure arguments...]
#
# BUILD_DIR  build directory (default: build, below the source tree)
# JOBS       parallel build jobs (default: 2)
# Exits non-zero when configuring, building or any test fails.
set -euo pipefail

cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
JOBS=${JOBS:-2}

cmake -S . -B "$BUILD_DIR" -G Ninja "$@"
cmake --build "$BUILD_DIR" -j"$JOBS"
ctest --test-dir "$BUILD_DIR" --output-on-failure
