#include "ipc/ScheduledScans.hpp"

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "logging/EventLogger.hpp"
#include "platform/ThreadPriority.hpp"

namespace norvid {
namespace {

// NORVID_SCHEDULED_PRIORITY=normal leaves scheduled scans at normal priority, for tests that must
// not depend on how busy the machine is with other work.
bool keepNormalPriority() {
  const char* setting = std::getenv("NORVID_SCHEDULED_PRIORITY");
  return setting != nullptr && std::string(setting) == "normal";
}

void lowerPriority() {
  if (keepNormalPriority()) return;
  const platform::Result<> lowered = platform::lowerCurrentThreadToBackground();
  if (!lowered) {
    EventLogger::instance().warning("Escaneos programados sin prioridad baja: " +
                                    lowered.message());
  }
}

}  // namespace

ScheduledScans::ScheduledScans(ReportCommands& reports, std::size_t threads)
    : reports_(reports), pool_(threads, lowerPriority) {}

void ScheduledScans::run(const ScheduledTask& task, std::stop_token stop) {
  lowerPriority();
  for (const std::string& path : task.scan_paths) {
    if (stop.stop_requested()) return;
    const ReportCommands::Outcome outcome =
        reports_.generateScheduledReport(path, task.id, stop, &pool_);
    if (outcome.cancelled) {
      EventLogger::instance().info("Tarea programada " + task.id + ": escaneo de " + path +
                                   " cancelado; la tarea termina aquí");
      return;
    }
    const nlohmann::json answer = nlohmann::json::parse(outcome.response, nullptr, false);
    if (answer.is_object() && answer.value("status", "") == "error") {
      EventLogger::instance().warning("Tarea programada " + task.id + ": " +
                                      answer.value("error", std::string()));
    }
  }
}

}  // namespace norvid
