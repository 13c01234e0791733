#!/usr/bin/env bash
# Runs a command with an unlocked Secret Service in the current D-Bus session
# (start it inside dbus-run-session). Without one the keyring tests skip.
set -uo pipefail
keyring_home=$(mktemp -d)
export QB_KEYRING_HOME="$keyring_home"
if command -v gnome-keyring-daemon >/dev/null; then
  (export HOME="$keyring_home" XDG_DATA_HOME="$keyring_home/.local/share"
   mkdir -p "$XDG_DATA_HOME"
   echo -n "quorbel-test" | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1) || true
  # The login collection appears (unlocked) a moment after the daemon starts.
  for _ in $(seq 1 50); do
    locked=$(gdbus call --session --dest org.freedesktop.secrets \
      --object-path /org/freedesktop/secrets/collection/login \
      --method org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Collection Locked 2>/dev/null || true)
    [ "$locked" = "(<false>,)" ] && { export QB_KEYRING_READY=1; break; }
    sleep 0.1
  done
fi
"$@"
status=$?
rm -rf "$keyring_home"
exit $status
