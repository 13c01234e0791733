#!/usr/bin/env bash
# Takes the pictures in docs/images: the branded header layouts, rendered off
# screen, and the check window (normal, repairing, failed) and the move's
# progress window as openbox shows them on a private Xvfb display, window
# frames and sheets included.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
cmake --build "$BUILD_DIR" --target screenshots bundle
mkdir -p docs/images

display_file=$(mktemp)
server=""
manager=""
cleanup() {
  [ -z "$manager" ] || kill "$manager" 2>/dev/null || true
  [ -z "$server" ] || kill "$server" 2>/dev/null || true
  rm -f "$display_file"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$display_file" &
server=$!
for _ in $(seq 100); do [ -s "$display_file" ] && break; sleep 0.1; done
[ -s "$display_file" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$display_file")"
openbox --sm-disable 2>/dev/null &
manager=$!
for _ in $(seq 100); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break; sleep 0.1; done

QT_QPA_PLATFORM=xcb QUORBEL_SCREENSHOT_DIR="$PWD/docs/images" "$BUILD_DIR/tests/screenshots"
