#!/usr/bin/env bash
# Builds every fuzz target in the clang tree and runs each briefly on its
# committed corpus and seeds: a link failure or a finding fails.
# Usage: scripts/fuzz-check.sh [seconds-each] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-60}"
BUILD_DIR="${2:-build-fuzz}"
TARGETS=(json_record unzip_archive unzip_entries property_list strings_table updateqb_statement)

CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Asan \
  -DQB_BUILD_FUZZ=ON -DQB_BUILD_TESTS=OFF -DQB_BUILD_BENCH=OFF ${CMAKE_EXTRA_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)" --target "${TARGETS[@]/#/fuzz_}"

# Two at a time: the zip targets, then the readers, then the rest.
scripts/fuzz.sh "$SECONDS_EACH" "$BUILD_DIR"
FUZZ_TARGETS="property_list strings_table" scripts/fuzz.sh "$SECONDS_EACH" "$BUILD_DIR"
FUZZ_TARGETS="json_record updateqb_statement" scripts/fuzz.sh "$SECONDS_EACH" "$BUILD_DIR"
echo "fuzz targets: ${#TARGETS[@]} built and run ${SECONDS_EACH} s each without a finding"
