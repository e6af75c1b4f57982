#!/usr/bin/env bash
# Builds the USB benchmark (optimised) against an existing build directory and runs it.
# Usage: bench/usb-bench.sh BUILD_DIR [DRIVES_PER_BUS] [ROUNDS]
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:?build directory}"
ninja -C "$build" -j2 norvid_usb >/dev/null
out="$build/usb-bench"
g++ -std=c++20 -O2 -I"$repo" "$repo/bench/UsbBench.cpp" "$repo/tests/support/FakeSysfsTree.cpp" \
  "$repo/tests/support/TempDir.cpp" -o "$out" \
  "$build/usb/libnorvid_usb.a" "$build/logging/libnorvid_logging.a" \
  "$build/platform/libnorvid_platform.a" -lcrypto -lsystemd -pthread
"$out" "${2:-16}" "${3:-50}"
