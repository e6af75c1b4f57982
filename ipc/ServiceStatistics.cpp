#include "ipc/ServiceStatistics.hpp"

#include "platform/LocalTime.hpp"

namespace norvid {

ServiceStatistics::ServiceStatistics() : startTime_(std::chrono::steady_clock::now()) {}

void ServiceStatistics::recordScan(const std::string& path) {
  totalScans_.fetch_add(1);
  std::string now = platform::formatLocalNow("%Y-%m-%d %H:%M:%S");
  std::lock_guard<std::mutex> guard(mutex_);
  lastScanPath_ = path;
  lastScanTime_ = now;
}

void ServiceStatistics::recordAmsiScan(bool malicious) {
  totalAmsiScans_.fetch_add(1);
  if (malicious) totalAmsiThreats_.fetch_add(1);
}

void ServiceStatistics::recordThreat(const std::string& path, const std::string& threatName) {
  totalThreats_.fetch_add(1);
  std::string now = platform::formatLocalNow("%Y-%m-%d %H:%M:%S");
  std::lock_guard<std::mutex> guard(mutex_);
  lastThreatName_ = threatName;
  lastThreatPath_ = path;
  lastThreatTime_ = now;
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

void ServiceStatistics::addTo(nlohmann::json& response) const {
  response["total_scans"] = totalScans_.load();
  response["total_threats"] = totalThreats_.load();
  response["total_amsi_scans"] = totalAmsiScans_.load();
  response["total_amsi_threats"] = totalAmsiThreats_.load();
  std::lock_guard<std::mutex> guard(mutex_);
  response["last_scan_path"] = lastScanPath_;
  response["last_scan_time"] = lastScanTime_;
  response["last_threat_name"] = lastThreatName_;
  response["last_threat_path"] = lastThreatPath_;
  response["last_threat_time"] = lastThreatTime_;
}

}  // namespace norvid
