#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) on the code that runs as root: every
# .cpp file directly in the folders below. Fails on any finding.
# Usage: scripts/tidy.sh [BUILD_DIR]   (default $BUILD_DIR, else build-tidy)
set -euo pipefail

# The folders checked, relative to the repository root. Edit here when code moves.
FOLDERS=(
  Client/Mac/platform/linux/helper
  tools/updateqb
  Client/Mac/Common/data/portable
)

cd "$(dirname "$0")/.."
ROOT="$PWD"
ROOT_RE="$(printf '%s' "$ROOT" | sed 's/[][\\.*^$()+?{}|]/\\&/g')"
BUILD_DIR="${1:-${BUILD_DIR:-build-tidy}}"
CLANG_TIDY="${CLANG_TIDY:-clang-tidy}"
JOBS="${TIDY_JOBS:-2}"

command -v "$CLANG_TIDY" >/dev/null || { echo "tidy: $CLANG_TIDY not found (scripts/setup.sh installs it)" >&2; exit 2; }

# A configure writes compile_commands.json and the generated headers
# (UpdateKey.h, BuildVersion.h); nothing is compiled. An existing tree keeps
# its own options and is only refreshed, so that new or moved files are known.
if [ -f "$BUILD_DIR/CMakeCache.txt" ]; then
  cmake -S . -B "$BUILD_DIR" >/dev/null
else
  cmake -S . -B "$BUILD_DIR" -G Ninja -DQB_BUILD_TESTS=OFF -DQB_BUILD_BENCH=OFF >/dev/null
fi
DATABASE="$BUILD_DIR/compile_commands.json"

files=()
header_filter=""
for folder in "${FOLDERS[@]}"; do
  [ -d "$folder" ] || { echo "tidy: no folder $folder (update FOLDERS in $0)" >&2; exit 2; }
  found=("$folder"/*.cpp)
  [ -e "${found[0]}" ] || { echo "tidy: no .cpp files in $folder" >&2; exit 2; }
  files+=("${found[@]}")
  # Headers in the same folders are checked where they are included.
  header_filter+="${header_filter:+|}^$ROOT_RE/$folder/[^/]*\\.h$"
done

# A file the build does not compile has no flags: clang-tidy would guess them.
for file in "${files[@]}"; do
  grep -qF "\"file\": \"$ROOT/$file\"" "$DATABASE" \
    || { echo "tidy: $file is not in $DATABASE (not built by any target?)" >&2; exit 2; }
done

echo "tidy: $("$CLANG_TIDY" --version | grep -m1 -o 'version [0-9.]*'), ${#files[@]} files in ${#FOLDERS[@]} folders, $JOBS jobs"

logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
# One log per file, so that parallel runs do not interleave.
printf '%s\n' "${files[@]}" | xargs -P "$JOBS" -I{} sh -c '
  log="$1/$(printf %s "$2" | tr / _).log"
  "$3" -p "$4" --quiet --warnings-as-errors="*" --header-filter="$5" \
       --extra-arg=-Wno-unknown-warning-option "$6/$2" >"$log" 2>&1 || echo "$2" >>"$1/failed"
' sh "$logs" {} "$CLANG_TIDY" "$BUILD_DIR" "$header_filter" "$ROOT"

if [ ! -s "$logs/failed" ]; then
  echo "tidy: no findings"
  exit 0
fi

# clang-tidy's counts of warnings it hid (system headers, unchecked ones) are noise.
cat "$logs"/*.log | grep -vE '^[0-9]+ warnings?( and [0-9]+ errors?)? generated\.$' || true
# A header's finding shows in every file that includes it: count each once.
findings="$(cat "$logs"/*.log | grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error): ' | sort -u)"
echo
echo "tidy: FAILED in $(wc -l <"$logs/failed") of ${#files[@]} files:"
sort "$logs/failed" | sed 's/^/  /'
if [ -n "$findings" ]; then
  echo "tidy: $(printf '%s\n' "$findings" | wc -l) findings by check:"
  printf '%s\n' "$findings" | grep -oE '\[[^]]+\]$' | sed 's/,-warnings-as-errors//' | sort | uniq -c | sort -rn | sed 's/^/  /'
fi
exit 1
