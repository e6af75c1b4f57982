#!/usr/bin/env bash
# Builds the quarantine benchmark against an existing build directory and runs it.
# Usage: bench/quarantine-bench.sh BUILD_DIR [MiB]
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?build directory}"
ninja -C "$build" -j2 norvid_quarantine >/dev/null
out="$build/quarantine-bench"
g++ -std=c++20 -O2 -I"$repo" "$repo/bench/QuarantineBench.cpp" -o "$out" \
  "$build/quarantine/libnorvid_quarantine.a" "$build/logging/libnorvid_logging.a" \
  "$build/platform/libnorvid_platform.a" -lcrypto -lsystemd -pthread
"$out" "${2:-256}"
