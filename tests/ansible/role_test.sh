#!/usr/bin/env bash
# The Ansible role against this machine, as root in a private root whose
# /Applications and /Library are fresh (scripts/in-private-root.sh): an install
# and repair from nothing, a second run that changes nothing, a check-mode run
# on a broken tree that reports and leaves it, and a failing repair that fails
# the play and leaves a support archive on the controller.
# Usage: role_test.sh SOURCE_DIR BUNDLE_DIR
set -euo pipefail
source_dir=$1
bundle_dir=$2
if ! command -v ansible-playbook >/dev/null; then
  echo "role_test: ansible-playbook is not installed" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77
fi
[ "$(id -u)" = 0 ] && [ -d /Applications ] || { echo "role_test: run through in-private-root.sh" >&2; exit 1; }
# Root's logs and Ansible's own files stay in this namespace.
mount -t tmpfs -o mode=0700 tmpfs /root

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -C "$(dirname "$bundle_dir")" -czf "$work/Quorbel.tar.gz" "$(basename "$bundle_dir")"
sha=$(sha256sum "$work/Quorbel.tar.gz" | cut -d' ' -f1)
printf '[quorbel_desktops]\nlocalhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3\n' >"$work/hosts"
export ANSIBLE_CONFIG="$source_dir/deploy/ansible/ansible.cfg" ANSIBLE_NOCOLOR=1 ANSIBLE_LOCAL_TEMP="$work/tmp"
launcher=/Applications/Quorbel.app/Contents/MacOS/Quorbel
core=/Applications/Quorbel.app/Contents/Resources/QuorbelCore.app
failures=0

# Runs the sample playbook; sets changed and failed from the recap and prints them.
play() {
  local name=$1
  shift
  ansible-playbook -i "$work/hosts" "$source_dir/deploy/ansible/site.yml" -e "quorbel_archive=$work/Quorbel.tar.gz" \
    -e "quorbel_archive_sha256=$sha" -e "quorbel_support_folder=$work/support" -e ansible_become_method=su \
    "$@" >"$work/$name.log" 2>&1 || true
  local recap
  recap=$(grep -E '^localhost +:' "$work/$name.log" | tail -1)
  changed=$(sed -E 's/.*changed=([0-9]+).*/\1/' <<<"$recap")
  failed=$(sed -E 's/.*failed=([0-9]+).*/\1/' <<<"$recap")
  echo "$name: changed=$changed failed=$failed"
  [ -n "$recap" ] || { cat "$work/$name.log"; changed=-1 failed=-1; }
}

expect() {
  if ! eval "$2"; then
    echo "FAIL: $1" >&2
    failures=$((failures + 1))
  fi
}

in_order() { "$launcher" --check --json 2>/dev/null | python3 -c 'import json,sys; sys.exit(0 if json.load(sys.stdin)["inOrder"] else 1)'; }

play first
expect "the first run installs and repairs" '[ "$changed" -gt 0 ] && [ "$failed" = 0 ]'
expect "the first run leaves the machine in order" in_order
[ "$failed" = 0 ] || cat "$work/first.log"

play second
expect "a second run changes nothing" '[ "$changed" = 0 ] && [ "$failed" = 0 ]'

chmod 0775 "$core"
play check-mode --check
expect "check mode reports the broken item" '[ "$changed" -gt 0 ] && [ "$failed" = 0 ]'
expect "check mode changes nothing" '[ "$(stat -c %a "$core")" = 775 ]'
grep -q 'would repair QuorbelCore' "$work/check-mode.log" || expect "check mode names the item" false

# An update tool that fails every repair.
printf '#!/bin/sh\nexit 3\n' >/Applications/Quorbel.app/Contents/Resources/updateqb
play failing-repair
expect "a failed repair fails the play" '[ "$failed" = 1 ]'
expect "the failure names the item" 'grep -q "the repair of .*QuorbelCore\|the repair of .*updateqb" "$work/failing-repair.log"'
expect "a support archive is on the controller" 'ls "$work"/support/quorbel-support-*.zip >/dev/null 2>&1 && unzip -l "$work"/support/quorbel-support-*.zip | grep check.json >/dev/null'
expect "no archive is left on the machine" '[ -z "$(ls /Applications/.quorbel-staging)" ]'

if [ "$failures" -gt 0 ]; then
  for log in "$work"/*.log; do echo "== $log"; cat "$log"; done
  exit 1
fi
