#!/usr/bin/env bash
# Runs a command with an unlocked Secret Service in the current D-Bus session
# (start it inside dbus-run-session). Without one the keyring tests skip.
set -uo pipefail
keyring_home=$(mktemp -d)
export QB_KEYRING_HOME="$keyring_home"
# The daemon ends with the session bus; without one it would outlive us.
if [ -z "${DBUS_SESSION_BUS_ADDRESS:-}" ]; then
  echo "with-keyring: no session bus (run inside dbus-run-session)" >&2
elif command -v gnome-keyring-daemon >/dev/null; then
  (export HOME="$keyring_home" XDG_DATA_HOME="$keyring_home/.local/share"
   mkdir -p "$XDG_DATA_HOME"
   echo -n "quorbel-test" | gnome-keyring-daemon --unlock --components=secrets >/dev/null 2>&1) || true
  # The login collection appears (unlocked) a moment after the daemon starts;
  # a busy machine may take seconds.
  for _ in $(seq 1 150); do
    locked=$(gdbus call --session --dest org.freedesktop.secrets \
      --object-path /org/freedesktop/secrets/collection/login \
      --method org.freedesktop.DBus.Properties.Get org.freedesktop.Secret.Collection Locked 2>/dev/null || true)
    [ "$locked" = "(<false>,)" ] && { export QB_KEYRING_READY=1; break; }
    sleep 0.1
  done
fi
[ -n "${QB_KEYRING_READY:-}" ] ||
  echo "with-keyring: no unlocked Secret Service came up; the keyring tests will be skipped" >&2
"$@"
status=$?
rm -rf "$keyring_home"
exit $status
