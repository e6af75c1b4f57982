#pragma once

#include <string>

#include "engine/EngineSlot.hpp"
#include "ipc/StatisticsRecorder.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

// The scan, scan_realtime and scan_amsi commands: each holds the engine lock shared for its
// whole run, turns the scanner's verdict into the response, counts it and writes the event log.
// The files named by a caller are examined with that caller's file-system identity, so a caller
// learns nothing of what it could not read itself.
class ScanCommands {
 public:
  ScanCommands(EngineSlot& slot, StatisticsRecorder& statistics, std::string quarantineDir);

  std::string handleScan(const std::string& path, const CallerIdentity& caller);
  std::string handleScanRealtime(const std::string& path, const CallerIdentity& caller);
  std::string handleScanAmsi(const std::string& contentName, const std::string& content);

 private:
  EngineSlot& slot_;
  StatisticsRecorder& statistics_;
  std::string quarantineDir_;
};

}  // namespace norvid
