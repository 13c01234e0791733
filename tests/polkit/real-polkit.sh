#!/usr/bin/env bash
# The launcher's --repair as an ordinary user against the real pkexec and
# polkitd: each case gets its own system bus and polkit daemon in a private
# mount and PID namespace, with a rules file of its own. Run as root in a
# private root (scripts/in-private-root.sh), which gives a fresh /Applications
# and /Library. Usage: real-polkit.sh BUNDLE
set -euo pipefail
user=nobody
skip() {
  echo "real-polkit: $*" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
}

# ---- One case, inside its own namespaces ----
if [ "${1:-}" = --inside ]; then
  rule=$2 installed=$3 home=$4
  mount -t tmpfs -o mode=755 tmpfs /run/dbus
  # No activation: a case without a daemon must not get one started by the bus.
  mount -t tmpfs -o mode=755 tmpfs /usr/share/dbus-1/system-services
  dbus-daemon --system --fork --nopidfile
  mount -t tmpfs -o mode=755 tmpfs /etc/polkit-1/rules.d
  if [ "$rule" != none ]; then
    printf 'polkit.addRule(function(action, subject) {\n  if (action.id == "org.freedesktop.policykit.exec" && subject.user == "%s") return polkit.Result.%s;\n});\n' \
      "$user" "$rule" > /etc/polkit-1/rules.d/10-case.rules
    chmod 644 /etc/polkit-1/rules.d/10-case.rules
    /usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
    for _ in $(seq 100); do
      dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null | grep -q 'boolean true' && break
      sleep 0.1
    done
  fi
  # pkexec refuses a parent that is PID 1 of the namespace: the launcher runs under a shell.
  status=0
  timeout 120 setpriv --reuid=$user --regid=nogroup --clear-groups env -i HOME="$home" PATH=/usr/bin:/bin \
    QT_QPA_PLATFORM=offscreen /bin/sh -c '"$1" --repair; exit $?' sh "$installed/Contents/MacOS/Quorbel" \
    >"$home/out" 2>"$home/err" || status=$?
  exit $status
fi

bundle=${1:?usage: real-polkit.sh BUNDLE}
[ "$(id -u)" = 0 ] || skip "needs root"
for program in /usr/bin/pkexec /usr/lib/polkit-1/polkitd dbus-daemon dbus-send setpriv unshare; do
  command -v "$program" >/dev/null || skip "needs $program"
done
installed=/Applications/Quorbel.app
tool="/Library/Application Support/Quorbel/updateqb"
failures=0

# case name | rule | expected exit status ("ok": any but a refusal's) | update tool installed afterwards
cases="
rule yes|YES|ok|yes
rule no|NO|4|no
no polkit daemon|none|5|no
"
while IFS='|' read -r name rule expected toolAfter; do
  [ -n "$name" ] || continue
  rm -rf "$installed" "/Library/Application Support/Quorbel"
  cp -a "$bundle" "$installed"
  chown -R 0:0 "$installed"
  home=$(mktemp -d /tmp/qb-polkit-home.XXXXXX)
  chown $user "$home"
  status=0
  unshare -m -p -f --mount-proc --propagation private "$0" --inside "$rule" "$installed" "$home" || status=$?
  verdict=pass
  if [ "$expected" = ok ]; then
    case $status in 3|4|5|124) verdict="fail (status $status)" ;; esac
  elif [ "$status" != "$expected" ]; then
    verdict="fail (status $status, expected $expected)"
  fi
  if [ "$toolAfter" = yes ]; then
    [ "$(stat -c %u "$tool" 2>/dev/null)" = 0 ] || verdict="fail (no root-owned update tool)"
  elif [ -e "$tool" ]; then
    verdict="fail (the update tool was installed)"
  fi
  echo "$name: $verdict (exit $status)"
  if [ "$verdict" != pass ]; then
    failures=$((failures + 1))
    sed 's/^/    /' "$home/err" >&2
  fi
  rm -rf "$home"
done <<<"$cases"
[ $failures = 0 ]
