#pragma once

#include <atomic>
#include <string>

#include "engine/EngineSlot.hpp"
#include "ipc/ScanRegistry.hpp"
#include "ipc/StatisticsRecorder.hpp"
#include "platform/CallerIdentity.hpp"
#include "platform/RequestContext.hpp"

namespace norvid {

// The scan, scan_realtime and scan_amsi commands: each holds the engine lock shared for its
// whole run, turns the scanner's verdict into the response, counts it and writes the event log.
// The files named by a caller are examined with that caller's file-system identity, so a caller
// learns nothing of what it could not read itself. Directory scans are listed in `registry`
// (when given) while they run, and a cancelled one answers over the files judged so far.
class ScanCommands {
 public:
  ScanCommands(EngineSlot& slot, StatisticsRecorder& statistics, std::string quarantineDir,
               ScanRegistry* registry = nullptr);

  // A directory scan stops at the next file once `hungUp` (when given) turns true.
  std::string handleScan(const std::string& path, const CallerIdentity& caller,
                         const std::atomic<bool>* hungUp = nullptr);
  // Scans the file the client passed a descriptor of when it did (`path` then only names it), and
  // otherwise the file at `path`; an infected file is moved to quarantine only while `path` still
  // names the file that was scanned. Never answered from kept verdicts: the file was just written.
  // `programStart`: the on-access watcher asks on behalf of a held program start, which it denies
  // on a threat; the start counts as blocked only when root (the watcher) asked, so no one else
  // can make the service announce a block that never happened.
  std::string handleScanRealtime(const std::string& path, const RequestContext& request,
                                 bool programStart = false);
  std::string handleScanAmsi(const std::string& contentName, const std::string& content);

 private:
  EngineSlot& slot_;
  StatisticsRecorder& statistics_;
  std::string quarantineDir_;
  ScanRegistry* registry_;
};

}  // namespace norvid
