#!/usr/bin/env bash
# Runs the libFuzzer targets of a fuzz build for a fixed time each and prints one line of figures
# per target. By default every target the build lists (tests/fuzz/fuzz-targets.txt, written by
# CMake from tests/fuzz/CMakeLists.txt) runs; FUZZ_JOBS targets run at once (default 1).
#
# Each target starts from its seed corpus (tests/fuzz/corpus/<target>, never written to) and the
# inputs it found in earlier runs of this build (<build>/corpus/<target>; FUZZ_FRESH=1 empties it
# first). Fault inputs land in <build>/artifacts, the full output of each run in <build>/fuzz-logs.
# Exits 1 when any target found a fault.
#
#   tests/fuzz/run-fuzzers.sh BUILD_DIR [SECONDS] [TARGET...]
set -uo pipefail

build=$(realpath "$1")
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : $# ))
source_dir=$(cd "$(dirname "$0")" && pwd)
jobs=${FUZZ_JOBS:-1}
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  list="$build/tests/fuzz/fuzz-targets.txt"
  if [ ! -s "$list" ]; then
    echo "[ERROR] no fuzz targets listed in $list: is $build a fuzz build?" >&2
    exit 2
  fi
  mapfile -t targets <"$list"
fi

mkdir -p "$build/artifacts" "$build/fuzz-logs"

# Runs one target and leaves its figures in fuzz-logs/<target>.summary and its exit status in
# fuzz-logs/<target>.status.
run_target() {
  local target=$1
  local binary="$build/tests/fuzz/norvid_fuzz_$target"
  local found="$build/corpus/$target"
  local log="$build/fuzz-logs/$target.log"
  # Everything the target writes stays in this directory, removed after the run.
  local scratch="$build/fuzz-tmp/$target"
  [ "${FUZZ_FRESH:-0}" = 1 ] && rm -rf "$found"
  rm -rf "$scratch"
  mkdir -p "$found" "$scratch"
  local started=$SECONDS
  # libFuzzer adds what it finds to the first directory only.
  TMPDIR="$scratch" UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$binary" "$found" "$source_dir/corpus/$target" -max_total_time="$seconds" \
    -rss_limit_mb=2048 -timeout=10 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$target-" >"$log" 2>&1
  local status=$?
  rm -rf "$scratch"
  local runs cover
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cover=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
  echo "$target: executions ${runs:-?}, ${cover:-cov: ?}, corpus $(ls "$found" | wc -l)" \
    "found + $(ls "$source_dir/corpus/$target" | wc -l) seeds, $((SECONDS - started)) s" \
    >"$build/fuzz-logs/$target.summary"
  echo "$status" >"$build/fuzz-logs/$target.status"
}

started=$SECONDS
echo "[*] ${#targets[@]} targets, ${seconds}s each, $jobs at a time"
running=0
for target in "${targets[@]}"; do
  if [ ! -x "$build/tests/fuzz/norvid_fuzz_$target" ]; then
    echo "[ERROR] no fuzz target $target in $build" >&2
    exit 2
  fi
  rm -f "$build/fuzz-logs/$target.status"
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
wait

failed=()
for target in "${targets[@]}"; do
  echo "    $(cat "$build/fuzz-logs/$target.summary" 2>/dev/null || echo "$target: no figures")"
  status=$(cat "$build/fuzz-logs/$target.status" 2>/dev/null || echo 1)
  if [ "$status" -ne 0 ]; then
    failed+=("$target")
    echo "[ERROR] $target stopped with status $status; the end of $build/fuzz-logs/$target.log:"
    tail -n 40 "$build/fuzz-logs/$target.log"
  fi
done
echo "[*] fuzzing took $((SECONDS - started)) s"

if [ ${#failed[@]} -ne 0 ]; then
  echo "[ERROR] faults found by: ${failed[*]} (inputs in $build/artifacts)"
  exit 1
fi
echo "[OK] no faults found"
