#include "ipc/ServiceStatistics.hpp"

#include "platform/LocalTime.hpp"

namespace norvid {

ServiceStatistics::ServiceStatistics() : startTime_(std::chrono::steady_clock::now()) {}

ServiceStatistics::LastEvents* ServiceStatistics::ownEventsOf(const CallerIdentity& caller) {
  if (caller.isPrivileged()) return nullptr;
  auto found = perUser_.find(caller.uid);
  if (found == perUser_.end()) {
    if (perUser_.size() >= kMaxUsersKept) {
      auto idlest = perUser_.begin();
      for (auto it = perUser_.begin(); it != perUser_.end(); ++it) {
        if (it->second.touched < idlest->second.touched) idlest = it;
      }
      perUser_.erase(idlest);
    }
    found = perUser_.emplace(caller.uid, LastEvents{}).first;
  }
  found->second.touched = ++changes_;
  return &found->second;
}

void ServiceStatistics::recordScan(const std::string& path, const CallerIdentity& caller) {
  totalScans_.fetch_add(1);
  std::string now = platform::formatLocalNow("%Y-%m-%d %H:%M:%S");
  std::lock_guard<std::mutex> guard(mutex_);
  for (LastEvents* events : {&everyone_, ownEventsOf(caller)}) {
    if (events == nullptr) continue;
    events->scanPath = path;
    events->scanTime = now;
  }
}

void ServiceStatistics::recordAmsiScan(bool malicious) {
  totalAmsiScans_.fetch_add(1);
  if (malicious) totalAmsiThreats_.fetch_add(1);
}

void ServiceStatistics::recordThreat(const std::string& path, const std::string& threatName,
                                     const CallerIdentity& caller) {
  totalThreats_.fetch_add(1);
  std::string now = platform::formatLocalNow("%Y-%m-%d %H:%M:%S");
  std::lock_guard<std::mutex> guard(mutex_);
  for (LastEvents* events : {&everyone_, ownEventsOf(caller)}) {
    if (events == nullptr) continue;
    events->threatName = threatName;
    events->threatPath = path;
    events->threatTime = now;
  }
}

std::int64_t ServiceStatistics::uptimeSeconds() const {
  auto elapsed = std::chrono::steady_clock::now() - startTime_;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 1000000000;
}

std::string ServiceStatistics::formatUptime(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t hours = (seconds - days * 86400) / 3600;
  std::int64_t minutes = (seconds - (seconds / 3600) * 3600) / 60;
  std::string text;
  if (days >= 1) text = std::to_string(days) + "d ";
  return text + std::to_string(hours) + "h " + std::to_string(minutes) + "m";
}

void ServiceStatistics::addTo(nlohmann::json& response, Scope scope,
                              const CallerIdentity& viewer) const {
  response["total_scans"] = totalScans_.load();
  response["total_threats"] = totalThreats_.load();
  response["total_amsi_scans"] = totalAmsiScans_.load();
  response["total_amsi_threats"] = totalAmsiThreats_.load();
  LastEvents shown;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (scope == Scope::Everyone || viewer.isPrivileged()) {
      shown = everyone_;
    } else if (auto own = perUser_.find(viewer.uid); own != perUser_.end()) {
      shown = own->second;
    }
  }
  response["last_scan_path"] = shown.scanPath;
  response["last_scan_time"] = shown.scanTime;
  response["last_threat_name"] = shown.threatName;
  response["last_threat_path"] = shown.threatPath;
  response["last_threat_time"] = shown.threatTime;
}

}  // namespace norvid
