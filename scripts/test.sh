#!/usr/bin/env bash
# Builds everything and runs every test. Tests that need the keyring run
# against a private gnome-keyring-daemon inside a private D-Bus session.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh "${1:-RelWithDebInfo}"
BUILD_DIR="${BUILD_DIR:-build}"
export QT_QPA_PLATFORM=offscreen
exec dbus-run-session -- scripts/with-keyring.sh ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
