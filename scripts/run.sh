#!/usr/bin/env bash
# The main job: builds the sample bundle and starts the launcher on it,
# headless when no display exists, then prints the launcher's log and the
# core's proof of start.
#
# As root it shows the repair for real: inside a private mount namespace whose
# /Applications and /Library are fresh empty folders (scripts/in-private-root.sh;
# nothing set-user-ID is left on the machine), the launcher finds the update
# tool, the helper tool and the plug-in missing, "Continue" is answered
# unattended, the update tool installs everything, the re-check passes and the
# core starts.
# As an ordinary user it runs the launcher in a demo system tree
# (build/demo-root) with a manifest of the core alone.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build}"
[ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen

if [ -n "${QB_RUN_INSIDE_PRIVATE_ROOT:-}" ]; then
  home=$(mktemp -d /tmp/qb-demo-home.XXXXXX)
  trap 'rm -rf "$home"' EXIT
  cp -pR "$BUILD_DIR/bundle/Quorbel.app" /Applications/
  echo "== System folders before the run:"
  find /Applications /Library -maxdepth 1 -printf '%M %u %p\n'
  status=0
  HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    QUORBEL_CHECK_WINDOW_ANSWER=Continue timeout 180 /Applications/Quorbel.app/Contents/MacOS/Quorbel || status=$?
  echo "== Launcher log:"
  cat "$home"/Library/Logs/Quorbel/Quorbel/*.log
  echo "== System folders after the run (the bundle itself left out):"
  find /Library -printf '%M %u %p\n'
  sleep 1
  echo "== Core log:"
  tail -n 3 "$home/Library/Logs/Quorbel/QuorbelCore/QuorbelCore.log" 2>/dev/null || echo "(the core left no log)"
  exit $status
fi

scripts/setup.sh
scripts/build.sh

if [ "$(id -u)" -eq 0 ]; then
  exec env QB_RUN_INSIDE_PRIVATE_ROOT=1 scripts/in-private-root.sh scripts/run.sh
fi

root="$PWD/$BUILD_DIR/demo-root"
rm -rf "$root"
mkdir -p "$root/Applications"
cp -pR "$BUILD_DIR/bundle/Quorbel.app" "$root/Applications/"
# The sample's tools and plug-in install into the real system folders with
# root's rights; this run checks the core alone.
cat > "$root/Applications/Quorbel.app/Contents/Resources/RequiredItems.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>RequiredItems</key>
	<array>
		<dict>
			<key>Type</key>
			<string>CoreApp</string>
			<key>Name</key>
			<string>QuorbelCore</string>
			<key>Resource</key>
			<string>QuorbelCore.app</string>
		</dict>
	</array>
</dict>
</plist>
PLIST

before=$(ls -t "$HOME/Library/Logs/Quorbel/Quorbel/"*.log 2>/dev/null | head -n 1 || true)
status=0
QUORBEL_SYSTEM_ROOT="$root" timeout 120 "$root/Applications/Quorbel.app/Contents/MacOS/Quorbel" || status=$?
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
echo "== The repair demonstration (the update tool installing the sample's tools and plug-in) needs root: run scripts/run.sh as root."
exit $status
