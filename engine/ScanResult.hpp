#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/PeAnalysisResult.hpp"

namespace norvid {

// Verdict on one file, stored as a signed 32-bit value.
enum class ScanStatus : std::int32_t { CLEAN = 0, INFECTED = 1, ERROR = 2, SKIPPED = 3 };

// The word the scan commands report for a status: "CLEAN", "INFECTED", "ERROR" or "SKIPPED".
inline const char* scanStatusWord(ScanStatus status) {
  switch (status) {
    case ScanStatus::CLEAN:
      return "CLEAN";
    case ScanStatus::INFECTED:
      return "INFECTED";
    case ScanStatus::ERROR:
      return "ERROR";
    case ScanStatus::SKIPPED:
      return "SKIPPED";
  }
  return "ERROR";
}

// The verdict on one file. `threat` holds the matched rule names joined by ", " (or
// "Contains: " and a member's threat for an archive) when INFECTED, the reason when ERROR or
// SKIPPED, and is empty when CLEAN. `depth` is the archive nesting level (0 for a file scanned
// directly) and `container` the archive the file came from (empty at depth 0). The PE findings
// start at their defaults and are attached only when the heuristics ran.
struct ScanResult {
  ScanResult() = default;
  ScanResult(std::string path, ScanStatus status, std::string threat, std::int32_t depth,
             std::string container)
      : path(std::move(path)),
        status(status),
        threat(std::move(threat)),
        depth(depth),
        container(std::move(container)) {}

  std::string path;
  ScanStatus status = ScanStatus::CLEAN;
  std::string threat;
  std::int32_t depth = 0;
  std::string container;
  bool peAnalyzed = false;
  PeAnalysisResult pe;
};

// The verdicts of one directory walk, in walk order. It has no counters of its own: callers
// count the entries (files scanned) and the INFECTED entries (threats found).
using DirectoryScanResult = std::vector<ScanResult>;

}  // namespace norvid
