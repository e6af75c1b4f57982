#pragma once

#include <cstdint>
#include <string>

#include "platform/CallerIdentity.hpp"

namespace norvid {

struct EngineSlot;

// The handlers of "generate_report" (scan a path and write its JSON and HTML report) and
// "list_reports" (summarise the newest JSON reports). Each returns the serialised response.
// REQUIRES: `slot` outlives this object.
class ReportCommands {
 public:
  ReportCommands(EngineSlot& slot, std::string reportsDir);

  // Holds the slot's lock shared for its whole run, so a rule reload waits for it.
  std::string handleGenerateReport(const std::string& path, const std::string& scanType,
                                   const CallerIdentity& caller);

  std::string handleListReports(std::int32_t maxCount);

  const std::string& reportsDirectory() const { return reportsDir_; }

 private:
  EngineSlot& slot_;
  std::string reportsDir_;
};

}  // namespace norvid
