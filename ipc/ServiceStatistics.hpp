#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "ipc/StatisticsRecorder.hpp"

namespace norvid {

// Counters, last events and uptime reported by `status`; kept in memory only, from construction
// on. Safe to call from any thread.
class ServiceStatistics final : public StatisticsRecorder {
 public:
  ServiceStatistics();

  void recordScan(const std::string& path) override;
  void recordThreat(const std::string& path, const std::string& threatName) override;
  void recordAmsiScan(bool malicious) override;

  // Whole seconds since construction.
  std::int64_t uptimeSeconds() const;
  // "1d 1h 1m" / "0h 0m" from whole seconds of uptime.
  static std::string formatUptime(std::int64_t seconds);

  // Adds the counters ("total_*") and the last events ("last_*") to a status answer.
  void addTo(nlohmann::json& response) const;

 private:
  const std::chrono::steady_clock::time_point startTime_;
  std::atomic<std::uint64_t> totalScans_{0};
  std::atomic<std::uint64_t> totalThreats_{0};
  std::atomic<std::uint64_t> totalAmsiScans_{0};
  std::atomic<std::uint64_t> totalAmsiThreats_{0};
  mutable std::mutex mutex_;  // guards the strings below
  std::string lastScanPath_;
  std::string lastScanTime_;
  std::string lastThreatName_;
  std::string lastThreatPath_;
  std::string lastThreatTime_;
};

}  // namespace norvid
