#include "ipc/StatusCommands.hpp"

#include <cstdint>
#include <shared_mutex>

#include "exclusions/ExclusionsManager.hpp"
#include "ipc/JsonResponse.hpp"
#include "norvid/Version.hpp"
#include "platform/AdministratorGroup.hpp"
#include "platform/ProcessInfo.hpp"
#include "quarantine/QuarantineManager.hpp"
#include "reports/ReportListing.hpp"
#include "scheduler/Scheduler.hpp"

namespace norvid {
namespace {

constexpr const char* kServiceName = "NorvidCoreService";

}  // namespace

StatusCommands::StatusCommands(EngineSlot& slot, const ServiceStatistics& statistics,
                               const ExclusionsManager* exclusions, const Scheduler* scheduler,
                               std::string quarantineDir, std::string reportsDir,
                               std::string administratorGroup)
    : slot_(slot),
      statistics_(statistics),
      exclusions_(exclusions),
      scheduler_(scheduler),
      quarantineDir_(std::move(quarantineDir)),
      reportsDir_(std::move(reportsDir)),
      administratorGroup_(std::move(administratorGroup)) {}

std::string StatusCommands::handleStatus(const CallerIdentity& caller) {
  const std::int64_t uptime = statistics_.uptimeSeconds();
  nlohmann::json response;
  response["status"] = "ok";
  response["command"] = "status";
  response["service_running"] = true;
  response["version"] = kVersion;
  response["service_name"] = kServiceName;
  response["uptime_seconds"] = uptime;
  response["uptime_formatted"] = ServiceStatistics::formatUptime(uptime);
  {
    std::shared_lock<std::shared_mutex> lock(slot_.lock);
    const bool ready = slot_.engine != nullptr && slot_.engine->hasRuleSets();
    response["engine_ready"] = ready;
    response["rules_loaded"] = ready ? slot_.engine->getTotalRules() : 0;
    response["hash_signatures_loaded"] =
        ready ? static_cast<std::int64_t>(slot_.engine->hashSignatureCount()) : 0;
  }
  statistics_.addTo(response,
                    platform::isAdministrator(caller, administratorGroup_)
                        ? ServiceStatistics::Scope::Everyone
                        : ServiceStatistics::Scope::Own,
                    caller);
  response["exclusions_count"] =
      exclusions_ ? static_cast<std::int64_t>(exclusions_->getCount()) : 0;
  response["schedules_count"] =
      scheduler_ ? static_cast<std::int64_t>(scheduler_->getTasks().size()) : 0;
  std::int64_t quarantined = 0;
  try {
    quarantined = static_cast<std::int64_t>(QuarantineManager::recordCount(quarantineDir_));
  } catch (...) {
    quarantined = 0;
  }
  response["quarantine_count"] = quarantined;
  if (auto resident = platform::residentMemoryBytes()) {
    response["memory_usage_mb"] = static_cast<double>(*resident) / (1024.0 * 1024.0);
  }
  response["reports_count"] = countReports(reportsDir_);
  return serializeResponse(response);
}

}  // namespace norvid
