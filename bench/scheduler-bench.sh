#!/usr/bin/env bash
# Builds the scheduler benchmark against an existing build directory and runs it.
# Usage: bench/scheduler-bench.sh BUILD_DIR
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?build directory}"
ninja -C "$build" -j2 norvid_scheduler >/dev/null
out="$build/scheduler-bench"
g++ -std=c++20 -O2 -I"$repo" "$repo/bench/SchedulerBench.cpp" -o "$out" \
  "$build/scheduler/libnorvid_scheduler.a" "$build/logging/libnorvid_logging.a" \
  "$build/platform/libnorvid_platform.a" -lcrypto -lsystemd -pthread
"$out"
