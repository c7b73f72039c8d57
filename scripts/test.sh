#!/usr/bin/env bash
# Configures build/ with Ninja, builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${BUILD_DIR:-build}

cmake -S . -B "$BUILD_DIR" -G Ninja -DVC_BUILD_TESTS=ON
ninja -C "$BUILD_DIR"
cd "$BUILD_DIR"
ctest --output-on-failure -j2 --timeout 300
