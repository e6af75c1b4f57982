#include "ipc/ScheduleCommands.hpp"

#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "ipc/JsonResponse.hpp"

namespace norvid {
namespace {

using Json = nlohmann::json;

constexpr const char* kNoScheduler = "Scheduler no inicializado";

ScheduledScanType scanTypeOfRequest(const std::string& word) {
  if (word == "full") return ScheduledScanType::Full;
  if (word == "custom") return ScheduledScanType::Custom;
  return ScheduledScanType::Quick;
}

Json listedTask(const ScheduledTask& task) {
  Json entry = {
      {"id", task.id},
      {"enabled", task.enabled},
      {"frequency", frequencyWord(task.frequency).value_or("disabled")},
      {"hour", task.hour},
      {"minute", task.minute},
  };
  if (auto word = scanTypeWord(task.scan_type)) entry["scan_type"] = *word;
  return entry;
}

// Why the paths a request names cannot be a task's, or nothing when they can.
std::optional<std::string> scanPathsProblem(const std::vector<std::string>& paths) {
  if (paths.empty()) return "scan_paths está vacío: indique al menos una ruta absoluta";
  if (paths.size() > ScheduleCommands::kMaxScanPaths) {
    return "scan_paths admite como máximo " + std::to_string(ScheduleCommands::kMaxScanPaths) +
           " rutas";
  }
  for (const std::string& path : paths) {
    if (path.empty() || path.front() != '/') return "Ruta no absoluta en scan_paths: " + path;
    if (path.size() > ScheduleCommands::kMaxPathBytes || path.find('\0') != std::string::npos) {
      return "Ruta no válida en scan_paths: más de " +
             std::to_string(ScheduleCommands::kMaxPathBytes) + " bytes o un byte nulo";
    }
  }
  return std::nullopt;
}

}  // namespace

std::string ScheduleCommands::handleAddSchedule(
    const std::string& frequency, std::int32_t hour, std::int32_t minute,
    const std::string& scanType, const std::optional<std::vector<std::string>>& scanPaths) {
  if (scheduler_ == nullptr) return createErrorResponse(kNoScheduler);
  if (scanPaths) {
    if (auto problem = scanPathsProblem(*scanPaths)) return createErrorResponse(*problem);
  }
  std::string taskId;
  try {
    ScheduledScanType type = scanTypeOfRequest(scanType);
    if (frequency == "daily") {
      taskId = scheduler_->addDailyTask(hour, minute, type, scanPaths);
    } else if (frequency == "weekly") {
      taskId = scheduler_->addWeeklyTask(0, hour, minute, type, scanPaths);
    } else {
      return createErrorResponse("Frecuencia no soportada: " + frequency);
    }
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error al agregar tarea: ") + e.what());
  }
  return serializeResponse({{"status", "ok"},
                            {"command", "add_schedule"},
                            {"message", "Tarea programada agregada exitosamente"},
                            {"task_id", taskId}});
}

std::string ScheduleCommands::handleListSchedules() {
  if (scheduler_ == nullptr) return createErrorResponse(kNoScheduler);
  Json response;
  try {
    std::vector<ScheduledTask> tasks = scheduler_->getTasks();
    Json list = Json::array();
    for (const ScheduledTask& task : tasks) list.push_back(listedTask(task));
    response = {{"status", "ok"},
                {"command", "list_schedules"},
                {"count", tasks.size()},
                {"tasks", std::move(list)}};
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error al listar tareas: ") + e.what());
  }
  return serializeResponse(response);
}

std::string ScheduleCommands::handleRemoveSchedule(const std::string& taskId) {
  if (scheduler_ == nullptr) return createErrorResponse(kNoScheduler);
  bool removed = false;
  try {
    removed = scheduler_->removeTask(taskId);
  } catch (const std::exception& e) {
    return createErrorResponse(std::string("Error al eliminar tarea: ") + e.what());
  }
  if (!removed) return createErrorResponse("No se pudo eliminar la tarea (no existe)");
  return serializeResponse({{"status", "ok"},
                            {"command", "remove_schedule"},
                            {"message", "Tarea eliminada exitosamente"}});
}

}  // namespace norvid
