#!/usr/bin/env bash
# Runs a command as root in a private mount namespace whose root folder holds
# fresh root-owned /Applications, /Library and /Volumes (tmpfs, mode 0755),
# so that root tests and demos see the real absolute folders without
# touching the machine. Everything else of / is bound in unchanged.
# Usage: scripts/in-private-root.sh COMMAND [ARGUMENTS...]
set -euo pipefail
if [ "$(id -u)" != 0 ]; then
  echo "in-private-root: needs root" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 77 # a skip, outside CI
fi
if [ -z "${QB_PRIVATE_ROOT:-}" ]; then
  new=$(mktemp -d /tmp/qb-root.XXXXXX)
  status=0
  unshare -m --propagation private env QB_PRIVATE_ROOT="$new" "$0" "$@" || status=$?
  rmdir "$new"
  exit $status
fi
here="$PWD"
new="$QB_PRIVATE_ROOT"
mount -t tmpfs -o mode=755 tmpfs "$new"
for entry in /* /.[!.]*; do
  [ -e "$entry" ] || [ -L "$entry" ] || continue
  name=${entry#/}
  case "$name" in Applications|Library|Volumes) continue ;; esac
  if [ -L "$entry" ]; then
    cp -P "$entry" "$new/$name"
  elif [ -d "$entry" ]; then
    mkdir "$new/$name"
    mount --rbind "$entry" "$new/$name"
  else
    touch "$new/$name"
    mount --bind "$entry" "$new/$name"
  fi
done
for folder in Applications Library Volumes; do
  mkdir -m 755 "$new/$folder"
  mount -t tmpfs -o mode=755 tmpfs "$new/$folder"
done
exec chroot "$new" /usr/bin/env -u QB_PRIVATE_ROOT /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$here" "$@"
