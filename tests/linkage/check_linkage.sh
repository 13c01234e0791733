#!/usr/bin/env bash
# Checks the boundaries of built programs with readelf and nm.
#   check_linkage.sh launcher LAUNCHER MODULE OBJECT...
#     The launcher needs none of the libraries only the windows module needs,
#     and defines none of the symbols the module's objects define.
#   check_linkage.sh root PROGRAM... ARCHIVE...
#     Root-side programs need no Qt or GLib library, and the root-side
#     archives call nothing of Qt.
set -euo pipefail

needed() { readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'; }
# Strong global definitions only: inline functions and templates are weak and
# may rightly exist in both.
strong_definitions() { nm --defined-only --extern-only "$@" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[BDGRST]$/ { print $3 }' | sort -u; }

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case "$1" in
launcher)
  launcher=$2 module=$3
  shift 3
  launcher_needs=$(needed "$launcher")
  module_only=$(comm -13 <(echo "$launcher_needs" | sort) <(needed "$module" | sort))
  [ -n "$module_only" ] || fail "the module needs no library of its own: the check would prove nothing"
  for library in Qt6Widgets Qt6Gui crypto secret-1; do
    if echo "$launcher_needs" | grep -q "^lib$library\.so"; then fail "the launcher needs lib$library"; fi
  done
  module_symbols=$(strong_definitions "$@")
  [ -n "$module_symbols" ] || fail "no symbols read from the module's objects"
  shared=$(comm -12 <(echo "$module_symbols") <(strong_definitions "$launcher"))
  if [ -n "$shared" ]; then
    fail "the launcher defines symbols of the windows module:"
    echo "$shared" | head -20 | c++filt | sed 's/^/  /'
  fi
  echo "launcher needs: $(echo $launcher_needs)"
  echo "only the module needs: $(echo $module_only)"
  echo "module symbols checked: $(echo "$module_symbols" | wc -l)"
  ;;
root)
  shift
  for file in "$@"; do
    case "$file" in
    *.a)
      qt_calls=$(nm --undefined-only "$file" 2>/dev/null | awk '{ print $NF }' | c++filt | grep -E '(^|[^A-Za-z_])(Q[A-Z][A-Za-z]+::|qt_)' || true)
      [ -z "$qt_calls" ] || fail "$(basename "$file") calls Qt: $(echo "$qt_calls" | head -3)"
      ;;
    *)
      bad=$(needed "$file" | grep -E '^lib(Qt|glib|gobject|gio|secret)' || true)
      [ -z "$bad" ] || fail "$(basename "$file") needs $(echo $bad)"
      echo "$(basename "$file") needs: $(needed "$file" | tr '\n' ' ')"
      ;;
    esac
  done
  ;;
*)
  echo "usage: $0 launcher|root ..." >&2
  exit 2
  ;;
esac
[ "$failures" -eq 0 ] || exit 1
echo "linkage boundaries hold"
