#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "ipc/StatisticsRecorder.hpp"

namespace norvid {

// Counters, last events and uptime reported by `status`; kept in memory only, from construction
// on. The last events are kept for the whole service and, apart, for each ordinary user's own
// requests, so that a user can be shown its own without learning the names of other users'
// files. Safe to call from any thread.
class ServiceStatistics final : public StatisticsRecorder {
 public:
  // Ordinary users whose own last events are kept; beyond it the one idle longest is forgotten.
  static constexpr std::size_t kMaxUsersKept = 1024;

  ServiceStatistics();

  void recordScan(const std::string& path, const CallerIdentity& caller) override;
  void recordThreat(const std::string& path, const std::string& threatName,
                    const CallerIdentity& caller) override;
  void recordAmsiScan(bool malicious) override;

  // Whole seconds since construction.
  std::int64_t uptimeSeconds() const;
  // "1d 1h 1m" / "0h 0m" from whole seconds of uptime.
  static std::string formatUptime(std::int64_t seconds);

  // Which last events a status answer carries.
  enum class Scope {
    Everyone,  // the service's last events, whoever asked for them
    Own,       // those of the viewer's own requests only (empty strings when there are none);
               // root's own are the service's
  };
  // Adds the counters ("total_*") and the last events ("last_*") to a status answer.
  void addTo(nlohmann::json& response, Scope scope, const CallerIdentity& viewer) const;

 private:
  struct LastEvents {
    std::string scanPath;
    std::string scanTime;
    std::string threatName;
    std::string threatPath;
    std::string threatTime;
    // Order of the latest change, to find the user idle longest.
    std::uint64_t touched = 0;
  };

  // The record of `caller`'s own events; null for root and the service's own requests, which
  // have none apart. REQUIRES: mutex_ held.
  LastEvents* ownEventsOf(const CallerIdentity& caller);

  const std::chrono::steady_clock::time_point startTime_;
  std::atomic<std::uint64_t> totalScans_{0};
  std::atomic<std::uint64_t> totalThreats_{0};
  std::atomic<std::uint64_t> totalAmsiScans_{0};
  std::atomic<std::uint64_t> totalAmsiThreats_{0};
  mutable std::mutex mutex_;  // guards the events below
  LastEvents everyone_;
  std::map<std::uint32_t, LastEvents> perUser_;
  std::uint64_t changes_ = 0;
};

}  // namespace norvid
