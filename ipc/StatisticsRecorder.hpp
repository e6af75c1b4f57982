#pragma once

#include <string>

#include "platform/CallerIdentity.hpp"

namespace norvid {

// What the scan commands count in the service statistics, each event with the caller whose
// request it came from.
class StatisticsRecorder {
 public:
  virtual ~StatisticsRecorder() = default;
  virtual void recordScan(const std::string& path, const CallerIdentity& caller) = 0;
  virtual void recordThreat(const std::string& path, const std::string& threatName,
                            const CallerIdentity& caller) = 0;
  // One script content scanned through scan_amsi, `malicious` when it matched.
  virtual void recordAmsiScan(bool malicious) = 0;
};

}  // namespace norvid
