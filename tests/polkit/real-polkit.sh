#!/usr/bin/env bash
# The launcher as an ordinary user against the real pkexec and polkitd: its
# --repair, and the move of a downloaded copy into /Applications. Each case
# gets its own system bus and polkit daemon in a private mount and PID
# namespace, with a rules file of its own and, where a password is asked
# for, the real text agent (pkttyagent, driven by with-agent.py) answering
# for an administrator account that exists only in that namespace. An agent
# that dismisses (dismissing-agent.py) stands for a desktop agent's Cancel
# button, which pkttyagent lacks. Run as root in a private root
# (scripts/in-private-root.sh), which gives a fresh /Applications and
# /Library. Usage: real-polkit.sh BUNDLE
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
user=nobody
admin=qbadmin
password=quorbel-test-password
limit=45 # seconds per case (the whole table stays within the test's 600): an agent that never answers ends it
skip() {
  echo "real-polkit: $*" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
}

# ---- One case, inside its own namespaces ----
if [ "${1:-}" = --inside ]; then
  rule=$2 answer=$3 run=$4 bundle=$5 home=$6
  mount -t tmpfs -o mode=755 tmpfs /run/dbus
  # No activation: a case without a daemon must not get one started by the bus.
  mount -t tmpfs -o mode=755 tmpfs /usr/share/dbus-1/system-services
  dbus-daemon --system --fork --nopidfile
  # The administrator account: copies of the account files with it added,
  # bound over the real ones for this namespace alone.
  accounts=$home/accounts
  mkdir -m 700 "$accounts"
  cp /etc/passwd /etc/shadow /etc/group "$accounts/"
  echo "$admin:x:4242:4242:Quorbel test administrator:/nonexistent:/usr/sbin/nologin" >>"$accounts/passwd"
  echo "$admin:$(openssl passwd -6 "$password"):19000:0:99999:7:::" >>"$accounts/shadow"
  echo "$admin:x:4242:" >>"$accounts/group"
  for file in passwd shadow group; do mount --bind "$accounts/$file" "/etc/$file"; done
  mount -t tmpfs -o mode=755 tmpfs /etc/polkit-1/rules.d
  if [ "$rule" != none ]; then
    cat >/etc/polkit-1/rules.d/10-case.rules <<EOF
polkit.addRule(function(action, subject) {
  if (action.id == "org.freedesktop.policykit.exec" && subject.user == "$user") return polkit.Result.$rule;
});
polkit.addAdminRule(function(action, subject) { return ["unix-user:$admin"]; });
EOF
    chmod 644 /etc/polkit-1/rules.d/10-case.rules
    /usr/lib/polkit-1/polkitd --no-debug >/dev/null 2>&1 &
    for _ in $(seq 100); do
      dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.PolicyKit1 2>/dev/null | grep -q 'boolean true' && break
      sleep 0.1
    done
  fi
  options=()
  [ "$run" = repair ] && options=(--repair)
  # Held until the agent is registered for its pid, then the launcher execs
  # in its place. pkexec refuses a parent that is PID 1 of the namespace: the
  # launcher's parent is never that.
  launch=(setpriv --reuid="$user" --regid=nogroup --clear-groups env -i HOME="$home" PATH=/usr/bin:/bin
    XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" QT_QPA_PLATFORM=offscreen
    "QUORBEL_ALERT_ANSWER=Move to Applications Folder|OK" QUORBEL_CHECK_WINDOW_ANSWER=Quit
    /bin/sh -c 'read -r _; exec "$@"' sh "$bundle/Contents/MacOS/Quorbel" "${options[@]}")
  status=0
  if [ "$answer" = - ]; then
    echo | timeout $limit setsid "${launch[@]}" >"$home/out" 2>"$home/err" || status=$?
  else
    /usr/bin/python3 "$here/with-agent.py" $user "$answer" "$home/agent" $limit -- "${launch[@]}" \
      >"$home/out" 2>"$home/err" || status=$?
  fi
  exit $status
fi

bundle=${1:?usage: real-polkit.sh BUNDLE}
[ "$(id -u)" = 0 ] || skip "needs root"
for program in /usr/bin/pkexec /usr/bin/pkttyagent /usr/lib/polkit-1/polkitd /usr/bin/python3 dbus-daemon dbus-send \
  openssl setpriv setsid unshare; do
  command -v "$program" >/dev/null || skip "needs $program"
done
/usr/bin/python3 -c 'import gi' 2>/dev/null || skip "needs python3-gi"
installed=/Applications/Quorbel.app
support="/Library/Application Support/Quorbel"
cancelled="Not moving because user canceled authorization"
failures=0

# What a case left: "installed" when the run did its whole work, "nothing"
# when nothing changed; with it what the user was told.
outcome() {
  local run=$1 home=$2
  if [ "$run" = repair ]; then
    if [ "$(stat -c %u "$support/updateqb" 2>/dev/null)" = 0 ] && [ -e "$support/qbhelper" ] \
      && [ -e "/Library/Contextual Menu Items/QuorbelFinderPlugin.plugin" ]; then
      echo installed
    elif [ -e "$support" ]; then
      echo changed
    else
      echo nothing
    fi
    return
  fi
  local left=changed told=""
  if [ "$(stat -c %u "$installed/Contents/MacOS/Quorbel" 2>/dev/null)" = 0 ] && [ ! -e "$home/Downloads/Quorbel.app" ]; then
    left=installed
  elif [ ! -e "$installed" ] && [ -d "$home/Downloads/Quorbel.app/Contents" ]; then
    left=nothing
  fi
  grep -q 'Unattended alert: "Could not move' "$home/err" && told+=" alert"
  grep -rqs "$cancelled" "$home/Library/Logs" && told+=" cancel-line"
  echo "$left${told:- none}"
}

# case | rule | agent's answer ("-": no agent) | run | exit status ("-": any but a refusal's) | agent prompts | outcome
cases="
rule yes, repair|YES|-|repair|-|0|installed
rule yes, move|YES|-|move|-|0|installed none
rule no, repair|NO|-|repair|4|0|nothing
rule no, move|NO|-|move|-|0|nothing alert
no polkit daemon, repair|none|-|repair|5|0|nothing
admin password, repair|AUTH_ADMIN|password:$password|repair|-|1|installed
admin password, move|AUTH_ADMIN|password:$password|move|-|1|installed none
admin, no agent, repair|AUTH_ADMIN|-|repair|5|0|nothing
admin, agent interrupted, repair|AUTH_ADMIN|interrupt|repair|4|1|nothing
admin, agent interrupted, move|AUTH_ADMIN|interrupt|move|-|1|nothing alert
admin, agent eof, repair|AUTH_ADMIN|eof|repair|4|1|nothing
admin, agent dismissed, repair|AUTH_ADMIN|dismiss|repair|3|1|nothing
admin, agent dismissed, move|AUTH_ADMIN|dismiss|move|-|1|nothing cancel-line
"
while IFS='|' read -r name rule answer run expected prompts left; do
  [ -n "$name" ] || continue
  rm -rf "$installed" "$support" "/Library/Contextual Menu Items"
  home=$(mktemp -d /tmp/qb-polkit-home.XXXXXX)
  chmod 755 "$home"
  if [ "$run" = repair ]; then
    cp -a "$bundle" "$installed"
    chown -R 0:0 "$installed"
    start=$installed
  else
    mkdir "$home/Downloads"
    cp -a "$bundle" "$home/Downloads/Quorbel.app"
    start=$home/Downloads/Quorbel.app
  fi
  chown -R $user "$home"
  status=0
  unshare -m -p -f --mount-proc --propagation private "$0" --inside "$rule" "$answer" "$run" "$start" "$home" || status=$?
  verdict=pass
  seen=0
  [ -e "$home/agent" ] && seen=$(grep -cE '==== AUTHENTICATING FOR|Dismissed request for' "$home/agent" || true)
  found=$(outcome "$run" "$home")
  if [ "$expected" = - ]; then
    case $status in 3|4|5|124|125) verdict="fail (status $status)" ;; esac
  elif [ "$status" != "$expected" ]; then
    verdict="fail (status $status, expected $expected)"
  fi
  [ "$seen" = "$prompts" ] || verdict="fail ($seen agent prompts, expected $prompts)"
  [ "$found" = "$left" ] || verdict="fail (left \"$found\", expected \"$left\")"
  # A refusal is told in the product's words; pkexec's own goes to the log alone.
  if [ "$run" = repair ] && [ "$expected" != - ]; then
    grep -q 'the administrator prompt said' "$home/err" && verdict="fail (pkexec's message on the terminal)"
    grep -rqs 'the administrator prompt said: exit 12[67]' "$home/Library/Logs" || verdict="fail (pkexec's message not logged)"
  fi
  echo "$name: $verdict (exit $status, $seen agent prompts, left $found)"
  if [ "$verdict" != pass ]; then
    failures=$((failures + 1))
    for file in err agent; do
      [ -s "$home/$file" ] && sed "s/^/    $file: /" "$home/$file" >&2
    done
    grep -rh 'prompt said\|rights for the move' "$home/Library/Logs" 2>/dev/null | sed 's/^/    log: /' >&2 || true
  fi
  rm -rf "$home"
done <<<"$cases"
rm -rf "$installed" "$support" "/Library/Contextual Menu Items"
[ $failures = 0 ]
