#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace norvid {

// Counters and last events reported by `status`; kept in memory only. The counters are atomic;
// the strings are guarded by the core's statistics mutex.
struct ServiceStatistics {
  std::atomic<std::uint64_t> totalScans{0};
  std::atomic<std::uint64_t> totalThreats{0};
  std::atomic<std::uint64_t> totalAmsiScans{0};
  std::atomic<std::uint64_t> totalAmsiThreats{0};
  std::string lastScanPath;
  std::string lastScanTime;
  std::string lastThreatName;
  std::string lastThreatPath;
  std::string lastThreatTime;
};

}  // namespace norvid
