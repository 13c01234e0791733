#!/usr/bin/env bash
# The main job: builds the sample bundle, installs it into a demo system tree
# (build/demo-root/Applications) and starts the launcher there, headless when
# no display exists. Prints the launcher's log and the core's proof of start.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
BUILD_DIR="${BUILD_DIR:-build}"

root="$PWD/$BUILD_DIR/demo-root"
rm -rf "$root"
mkdir -p "$root/Applications"
cp -pR "$BUILD_DIR/bundle/Quorbel.app" "$root/Applications/"
[ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen

before=$(ls -t "$HOME/Library/Logs/Quorbel/Quorbel/"*.log 2>/dev/null | head -n 1 || true)
QUORBEL_SYSTEM_ROOT="$root" timeout 120 "$root/Applications/Quorbel.app/Contents/MacOS/Quorbel"
status=$?
log=$(ls -t "$HOME/Library/Logs/Quorbel/Quorbel/"*.log 2>/dev/null | head -n 1 || true)
if [ -z "$log" ] || [ "$log" = "$before" ]; then
  echo "The launcher left no new log file" >&2
  exit 1
fi
echo "== Launcher log: $log"
cat "$log"
sleep 1
echo "== Core log: $HOME/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log"
tail -n 3 "$HOME/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log" 2>/dev/null || echo "(the core left no log)"
exit $status
