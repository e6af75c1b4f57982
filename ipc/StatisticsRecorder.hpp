#pragma once

#include <string>

namespace norvid {

// What the scan commands count in the service statistics.
class StatisticsRecorder {
 public:
  virtual ~StatisticsRecorder() = default;
  virtual void recordScan(const std::string& path) = 0;
  virtual void recordThreat(const std::string& path, const std::string& threatName) = 0;
  // One script content scanned through scan_amsi, `malicious` when it matched.
  virtual void recordAmsiScan(bool malicious) = 0;
};

}  // namespace norvid
