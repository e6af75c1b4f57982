#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "ipc/ScanRegistry.hpp"
#include "platform/AdministratorGroup.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

struct EngineSlot;

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

  std::string handleListReports(std::int32_t maxCount);

  const std::string& reportsDirectory() const { return reportsDir_; }

 private:
  EngineSlot& slot_;
  std::string reportsDir_;
  ScanRegistry* registry_;
  std::string administratorGroup_;
};

}  // namespace norvid
