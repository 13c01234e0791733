#!/usr/bin/env bash
# The release configuration (no test hooks, no benchmarks) in its own tree,
# and its one check: the QUORBEL_* test settings are ignored there.
set -euo pipefail
cd "$(dirname "$0")/.."
export BUILD_DIR="${RELEASE_BUILD_DIR:-build-release}"
export CMAKE_EXTRA_ARGS="${CMAKE_EXTRA_ARGS:-} -DQB_TEST_HOOKS=OFF -DQB_BUILD_BENCH=OFF"
scripts/build.sh Release
ctest --test-dir "$BUILD_DIR" --output-on-failure
