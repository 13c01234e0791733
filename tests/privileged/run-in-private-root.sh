#!/usr/bin/env bash
# Runs privileged_tests for ctest: the list of cases is read directly (no
# root needed, so the build and a non-root ctest can still see them), every
# case runs inside a private root (scripts/in-private-root.sh; 77, a skip,
# without root).
# Usage: run-in-private-root.sh EXECUTABLE [ARGUMENTS...]
set -euo pipefail
for argument in "$@"; do
  [ "$argument" = --gtest_list_tests ] && exec "$@"
done
exec "$(dirname "$0")/../../scripts/in-private-root.sh" "$@"
