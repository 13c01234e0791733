#!/usr/bin/env bash
# Configures and builds into build/ (or $BUILD_DIR) with Ninja.
# Usage: scripts/build.sh [CMAKE_BUILD_TYPE]   (RelWithDebInfo, Debug, Asan, Tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_TYPE="${1:-RelWithDebInfo}"
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE="$BUILD_TYPE" ${CMAKE_EXTRA_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
