#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a fixed time, each on a fresh copy of its seed
# corpus, and prints one line of figures per target. Crash inputs land in <build>/artifacts; the
# full output of each run in <build>/fuzz-logs. Exits 1 when any target found a fault.
#
#   tests/fuzz/run-fuzzers.sh BUILD_DIR [SECONDS] [TARGET...]
set -uo pipefail

build=$(realpath "$1")
seconds=${2:-60}
shift $(( $# >= 2 ? 2 : $# ))
source_dir=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(dispatcher archive pe mail ole2 mspack quarantine_metadata exclusions scheduler)
fi

mkdir -p "$build/artifacts" "$build/fuzz-logs"
failed=()
for target in "${targets[@]}"; do
  binary="$build/tests/fuzz/norvid_fuzz_$target"
  corpus="$build/corpus/$target"
  log="$build/fuzz-logs/$target.log"
  # Everything the target writes stays in this directory, removed after the run.
  scratch="$build/fuzz-tmp/$target"
  rm -rf "$corpus" "$scratch"
  mkdir -p "$corpus" "$scratch"
  cp "$source_dir/corpus/$target/"* "$corpus/"
  echo "[*] $target: ${seconds}s"
  TMPDIR="$scratch" UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 "$binary" "$corpus" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" \
    >"$log" 2>&1
  status=$?
  rm -rf "$scratch"
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$')
  cover=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  echo "    executions: ${runs:-?}, ${cover:-cov: ?}, corpus: $(ls "$corpus" | wc -l) inputs"
  if [ $status -ne 0 ]; then
    failed+=("$target")
    echo "[ERROR] $target stopped with status $status; the end of $log:"
    tail -n 40 "$log"
  fi
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "[ERROR] faults found by: ${failed[*]} (inputs in $build/artifacts)"
  exit 1
fi
echo "[OK] no faults found"
