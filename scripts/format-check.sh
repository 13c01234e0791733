#!/usr/bin/env bash
# Fails when a tracked C++ file is not laid out as .clang-format says.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "format: clang-format not found (scripts/setup.sh installs it)" >&2; exit 2; }
files=$(git ls-files '*.cpp' '*.h' '*.h.in')
if ! echo "$files" | xargs clang-format --dry-run -Werror; then
  echo "format: the files above are not formatted; run: git ls-files '*.cpp' '*.h' '*.h.in' | xargs clang-format -i" >&2
  exit 1
fi
echo "format: $(echo "$files" | wc -l) files formatted"
