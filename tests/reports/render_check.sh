#!/usr/bin/env bash
# Renders one generated HTML scan report in headless Chromium: writes a sample report (a detection,
# a bare entry, an error, characters that need escaping) with the built reports library, takes a
# screenshot and fails when the page logs a console error or its DOM lacks the expected parts.
#
# Usage: tests/reports/render_check.sh [BUILD_DIR] [OUTPUT_DIR]
#   BUILD_DIR   build directory holding reports/ and platform/ libraries (default: build)
#   OUTPUT_DIR  where report.html, screenshot.png and chromium.log are kept (default: a temp dir)
set -euo pipefail

repo="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-$repo/build}"
out="${2:-$(mktemp -d "${TMPDIR:-/tmp}/norvid-render-XXXXXX")}"
mkdir -p "$out"
work="$(mktemp -d "${TMPDIR:-/tmp}/norvid-render-work-XXXXXX")"
trap 'rm -rf "$work"' EXIT

browser="$(command -v chromium || command -v chromium-browser || true)"
if [ -z "$browser" ]; then
  echo "[ERROR] chromium not found (bash scripts/install-deps.sh chromium)" >&2
  exit 2
fi
for lib in reports/libnorvid_reports.a platform/libnorvid_platform.a; do
  if [ ! -f "$build/$lib" ]; then
    echo "[ERROR] $build/$lib missing: build norvid_reports first" >&2
    exit 2
  fi
done

cat > "$work/sample.cpp" <<'EOF'
#include <iostream>

#include "reports/ScanReport.hpp"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  norvid::ScanReport report;
  report.begin("manual", "/home/user/Descargas/O'Brien & <Co>");
  report.addResult("/home/user/Descargas/tool.exe", "INFECTED", "Trojan_Generic, Dropper_B");
  report.addResult("/home/user/Descargas/archive.zip", "INFECTED", "Contains: Eicar_Test");
  report.addResult("/home/user/Descargas/unnamed.bin", "INFECTED", "");
  report.addResult("/home/user/Descargas/readme.txt", "CLEAN", "");
  report.addResult("/home/user/Descargas/excluded.iso", "SKIPPED", "Excluded by user");
  report.addError("/home/user/Descargas/locked \"file\".db", "Filesystem error: Permission denied");
  report.finish(412);
  if (!report.writeReport(argv[1])) return 1;
  std::cout << report.scan_id << "\n";
  return 0;
}
EOF
g++ -std=c++20 -I"$repo" "$work/sample.cpp" "$build/reports/libnorvid_reports.a" \
    "$build/platform/libnorvid_platform.a" -o "$work/sample"
"$work/sample" "$out/report.html" > /dev/null

flags=(--headless --no-sandbox --disable-gpu --disable-quic --no-first-run
       --disable-background-networking --disable-component-update --disable-sync
       --enable-logging=stderr --v=0 --hide-scrollbars --window-size=1000,1500)
url="file://$out/report.html"
timeout 90 "$browser" "${flags[@]}" --user-data-dir="$work/profile-shot" \
    --screenshot="$out/screenshot.png" "$url" > /dev/null 2> "$out/chromium.log" || true
timeout 90 "$browser" "${flags[@]}" --user-data-dir="$work/profile-dom" \
    --dump-dom "$url" > "$out/dom.html" 2>> "$out/chromium.log" || true

failed=0
if [ ! -s "$out/screenshot.png" ]; then
  echo "[ERROR] no screenshot was written" >&2
  failed=1
fi
if grep -E 'CONSOLE|Uncaught|Failed to load|ERR_' "$out/chromium.log" > "$work/console.txt"; then
  echo "[ERROR] the page logged errors:" >&2
  cat "$work/console.txt" >&2
  failed=1
fi
for part in 'status-banner danger' 'AMENAZAS DETECTADAS' 'Amenazas Detectadas' \
            '>Desconocida<' 'tag-warn' "O'Brien &amp; &lt;Co&gt;" 'locked "file".db' \
            'Generado por Norvid Shield v0.1.0'; do
  if ! grep -qF -- "$part" "$out/dom.html"; then
    echo "[ERROR] rendered page lacks: $part" >&2
    failed=1
  fi
done
rows="$(grep -o '<tr>' "$out/dom.html" | wc -l)"
if [ "$rows" -ne 14 ]; then
  echo "[ERROR] rendered page has $rows table rows, expected 14" >&2
  failed=1
fi

if [ "$failed" -ne 0 ]; then
  echo "[ERROR] render check failed; files in $out" >&2
  exit 1
fi
echo "[OK] report rendered: $out/screenshot.png ($(stat -c %s "$out/screenshot.png") bytes)"
