#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <string>

#include "ipc/ScanRegistry.hpp"
#include "platform/AdministratorGroup.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

struct EngineSlot;
class ScanThreadPool;

// The handlers of "generate_report" (scan a path and write its JSON and HTML report) and
// "list_reports" (summarise the newest JSON reports). Each returns the serialised response.
// Directory scans are listed in `registry` (when given) while they run; a cancelled one writes
// its reports over the files judged so far, marked cancelled.
// REQUIRES: `slot` and `registry` outlive this object.
class ReportCommands {
 public:
  // Reports are readable by `administratorGroup`.
  ReportCommands(EngineSlot& slot, std::string reportsDir, ScanRegistry* registry = nullptr,
                 std::string administratorGroup = platform::kDefaultAdministratorGroup);

  // Holds the slot's lock shared for its whole run, so a rule reload waits for it. The scan stops
  // at the next file once `hungUp` (when given) turns true.
  std::string handleGenerateReport(const std::string& path, const std::string& scanType,
                                   const CallerIdentity& caller,
                                   const std::atomic<bool>* hungUp = nullptr);

  // What one report run answered, and whether its scan was cut short.
  struct Outcome {
    std::string response;
    bool cancelled = false;
  };

  // The report of `path` for the scheduled task `taskId`, made with the service's own identity as
  // generate_report makes it, the scan listed as "scheduled" with the task's id. A stop requested
  // through `stop` cancels it like cancel_scan does. `pool` judges the files (the scheduled
  // scans' own threads), the walk runs on the calling thread.
  Outcome generateScheduledReport(const std::string& path, const std::string& taskId,
                                  std::stop_token stop, ScanThreadPool* pool);

  std::string handleListReports(std::int32_t maxCount);

  const std::string& reportsDirectory() const { return reportsDir_; }

 private:
  Outcome generate(const std::string& path, const std::string& scanType,
                   const CallerIdentity& caller, const std::string& command,
                   const std::string& taskId, std::stop_token stop, ScanThreadPool* pool,
                   const std::atomic<bool>* hungUp);

  EngineSlot& slot_;
  std::string reportsDir_;
  ScanRegistry* registry_;
  std::string administratorGroup_;
};

}  // namespace norvid
