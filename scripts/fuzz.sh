#!/usr/bin/env bash
# Runs the zip-extraction fuzz targets of a clang build (see fuzz/CMakeLists.txt)
# for the given number of seconds each, both at once. Not part of CI.
# Usage: scripts/fuzz.sh [seconds] [build-dir]
#
# With FUZZ_TARGETS="property_list strings_table" it runs those readers
# instead, each on its committed corpus fuzz/corpus/<target> (seeded from
# fuzz/seeds/<target>, grown in place) with fuzz/<target>.dict.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${1:-300}"
BUILD_DIR="${2:-build-fuzz}"
WORK="$BUILD_DIR/fuzz-work"

mkdir -p "$WORK/artifacts"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
pids=()
names=()
# start <target> <libFuzzer arguments...>: runs one target in the background.
start() {
  local target=$1
  shift
  nice "$BUILD_DIR/fuzz/fuzz_$target" "$@" -max_total_time="$SECONDS_EACH" -timeout=20 \
      -artifact_prefix="$WORK/artifacts/$target-" > "$WORK/$target.log" 2>&1 &
  pids+=($!)
  names+=("$target")
}
# Waits for every target and prints its final statistics or its finding.
finish() {
  local status=0
  for pid in "${pids[@]}"; do
    wait "$pid" || status=1
  done
  for target in "${names[@]}"; do
    echo "== $target"; grep -E "DONE|^Done|ERROR|Broken|SUMMARY" "$WORK/$target.log" | tail -n 4 || true
  done
  exit $status
}

if [ -n "${FUZZ_TARGETS:-}" ]; then
  for target in $FUZZ_TARGETS; do
    mkdir -p "fuzz/corpus/$target"
    start "$target" "fuzz/corpus/$target" "fuzz/seeds/$target" -dict="fuzz/$target.dict" -max_len=65536 -rss_limit_mb=2048
  done
  finish
fi
mkdir -p "$WORK/corpus/unzip_archive" "$WORK/corpus/unzip_entries"

# Seeds for the raw-archive target: small archives with folders, deflated and
# stored data, a symbolic link and hostile names.
python3 - "$WORK/corpus/unzip_archive" <<'PY'
import sys, zipfile, os
out = sys.argv[1]
def make(name, entries):
    with zipfile.ZipFile(os.path.join(out, name), "w") as z:
        for entry_name, data, method, mode in entries:
            info = zipfile.ZipInfo(entry_name)
            info.compress_type = method
            info.create_system = 3
            info.external_attr = mode << 16
            z.writestr(info, data)
make("tree.zip", [("a/", b"", zipfile.ZIP_STORED, 0o40755), ("a/b.txt", b"hello" * 20, zipfile.ZIP_DEFLATED, 0o100644)])
make("flat.zip", [("x\\y.txt", b"data", zipfile.ZIP_STORED, 0o100644), ("z", b"\0" * 100, zipfile.ZIP_DEFLATED, 0o100644)])
make("hostile.zip", [("../up.txt", b"u", zipfile.ZIP_STORED, 0o100644), ("link", b"/tmp", zipfile.ZIP_STORED, 0o120777),
                     ("link/x", b"x", zipfile.ZIP_STORED, 0o100644), ("pre/y", b"y", zipfile.ZIP_STORED, 0o100644)])
PY

# tmpfs keeps the many small writes cheap.
[ -w /dev/shm ] && export TMPDIR=/dev/shm
for target in unzip_archive unzip_entries; do
  start "$target" "$WORK/corpus/$target" -dict=fuzz/zip.dict -max_len=65536 -len_control=0 -rss_limit_mb=4096 -close_fd_mask=3
done
finish
