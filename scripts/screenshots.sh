#!/usr/bin/env bash
# Renders the pictures in docs/images off screen: the branded header layouts
# and the check window (normal, repairing, failed).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake --build "$BUILD_DIR" --target screenshots bundle
mkdir -p docs/images
QT_QPA_PLATFORM=offscreen QUORBEL_SCREENSHOT_DIR="$PWD/docs/images" "$BUILD_DIR/tests/screenshots"
