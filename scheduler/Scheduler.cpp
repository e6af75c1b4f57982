#include "scheduler/Scheduler.hpp"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "logging/EventLogger.hpp"
#include "platform/LocalCalendar.hpp"
#include "platform/RandomId.hpp"
#include "platform/SystemError.hpp"
#include "scheduler/ScheduledTaskJson.hpp"

namespace norvid {
namespace {

using Json = nlohmann::json;
using TimePoint = std::chrono::system_clock::time_point;

// Normalises local calendar fields in place and returns the instant. Daylight saving is decided
// by the zone rules for the target date, so a run lands on the wall-clock hour asked for even when
// the clocks change between now and then.
TimePoint normalise(std::tm& calendar) {
  calendar.tm_isdst = -1;
  std::optional<std::time_t> instant = platform::fromLocalCalendar(calendar);
  const std::time_t limit =
      std::chrono::duration_cast<std::chrono::seconds>(TimePoint::duration::max()).count();
  if (!instant || *instant > limit || *instant < -limit) {
    throw std::overflow_error("la próxima ejecución queda fuera del intervalo de fechas admitido");
  }
  return std::chrono::system_clock::from_time_t(*instant);
}

// Tasks the runner starts: a disabled task or frequency never runs.
bool runnable(const ScheduledTask& task) {
  return task.enabled && task.frequency != ScheduleFrequency::Disabled;
}

std::string saveFailure(const std::string& path, const std::string& problem) {
  return "no se pudo guardar " + path + ": " + problem;
}

void logSaveFailure(const std::string& path, const std::string& problem) {
  EventLogger::instance().error("Scheduler: " + saveFailure(path, problem));
}

}  // namespace

Scheduler::Scheduler(const std::string& configPath, const platform::Clock& clock)
    : configPath_(configPath),
      clock_(clock),
      file_(configPath_,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read,
            2, clock_) {}

bool Scheduler::initialize() {
  std::string warning;
  std::string saveProblem;
  bool ok = false;
  {
    // Nothing else runs yet; the lock only keeps the list's guard uniform.
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      std::filesystem::path parent = std::filesystem::path(configPath_).parent_path();
      std::error_code error;
      if (!parent.empty()) std::filesystem::create_directories(parent, error);
      if (error) {
        warning = "Scheduler: no se pudo crear el directorio " + parent.string() + ": " +
                  platform::errnoText(error.value());
      } else {
        // A write cut short by a crash leaves its temporary file; nothing else is writing it yet.
        file_.removeWriteLeftovers();
        std::string loadProblem;
        bool loaded = loadTasks(loadProblem);
        // Each task is computed on its own, so that one whose next run cannot be represented
        // keeps the value it was read with and does not leave the tasks after it with theirs.
        std::string unrepresentable;
        const TimePoint now = clock_.now();
        for (ScheduledTask& task : tasks_) {
          if (runnable(task) && task.next_run <= now) missed_.insert(task.id);
          try {
            task.next_run = computeNextRun(task);
          } catch (const std::overflow_error& error) {
            if (unrepresentable.empty()) unrepresentable = error.what();
          }
        }
        if (!loaded) {
          // Rewriting now would replace the unread part of the file with nothing; the first
          // change moves it aside before writing.
          file_.keepAsideOnNextSave(true);
          warning = "Scheduler: no se pudo leer " + configPath_ + " (" + loadProblem +
                    "); el archivo se conserva sin cambios";
        } else if (!unrepresentable.empty()) {
          warning = "Scheduler: error al inicializar: " + unrepresentable;
        } else {
          ok = saveTasks(saveProblem);
        }
      }
    } catch (const std::exception& e) {
      warning = std::string("Scheduler: error al inicializar: ") + e.what();
    }
  }
  if (!warning.empty()) EventLogger::instance().warning(warning);
  if (!saveProblem.empty()) logSaveFailure(configPath_, saveProblem);
  return ok;
}

std::string Scheduler::addTask(const ScheduledTask& task) {
  if (!frequencyWord(task.frequency) || !scanTypeWord(task.scan_type)) {
    // Such a task could be written but never read back.
    throw std::invalid_argument("frecuencia o tipo de análisis desconocido");
  }
  std::string id;
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tasks_.size() >= kMaxTasks) {
      throw std::length_error("se alcanzó el máximo de " + std::to_string(kMaxTasks) +
                              " tareas programadas");
    }
    ScheduledTask stored = task;
    stored.id = generateTaskId();
    stored.next_run = computeNextRun(stored);
    tasks_.push_back(std::move(stored));
    if (saveTasks(problem)) {
      id = tasks_.back().id;
    } else {
      tasks_.pop_back();  // memory keeps matching the file
    }
  }
  if (id.empty()) {
    logSaveFailure(configPath_, problem);
    throw std::runtime_error(saveFailure(configPath_, problem));
  }
  return id;
}

std::string Scheduler::addDailyTask(std::int32_t hour, std::int32_t minute,
                                    ScheduledScanType scanType,
                                    std::optional<std::vector<std::string>> scanPaths) {
  return addTask(
      enabledTask(ScheduleFrequency::Daily, -1, hour, minute, scanType, std::move(scanPaths)));
}

std::string Scheduler::addWeeklyTask(std::int32_t dayOfWeek, std::int32_t hour, std::int32_t minute,
                                     ScheduledScanType scanType,
                                     std::optional<std::vector<std::string>> scanPaths) {
  return addTask(enabledTask(ScheduleFrequency::Weekly, dayOfWeek, hour, minute, scanType,
                             std::move(scanPaths)));
}

ScheduledTask Scheduler::enabledTask(ScheduleFrequency frequency, std::int32_t dayOfWeek,
                                     std::int32_t hour, std::int32_t minute,
                                     ScheduledScanType scanType,
                                     std::optional<std::vector<std::string>> scanPaths) {
  ScheduledTask task;
  task.enabled = true;
  task.frequency = frequency;
  task.hour = hour;
  task.minute = minute;
  task.day_of_week = dayOfWeek;
  task.day_of_month = -1;
  task.scan_type = scanType;
  task.scan_paths = scanPaths ? std::move(*scanPaths) : defaultScanPaths(scanType);
  task.last_run = TimePoint{};
  return task;
}

bool Scheduler::removeTask(const std::string& id) {
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find_if(tasks_.begin(), tasks_.end(),
                              [&id](const ScheduledTask& task) { return task.id == id; });
    if (found == tasks_.end()) return false;
    auto position = found - tasks_.begin();
    ScheduledTask removed = std::move(*found);
    tasks_.erase(found);
    if (saveTasks(problem)) {
      missed_.erase(id);
      return true;
    }
    tasks_.insert(tasks_.begin() + position, std::move(removed));
  }
  logSaveFailure(configPath_, problem);
  throw std::runtime_error(saveFailure(configPath_, problem));
}

std::vector<ScheduledTask> Scheduler::getTasks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tasks_;
}

std::vector<ScheduledTask> Scheduler::dueTasks() const {
  const TimePoint now = clock_.now();
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<ScheduledTask> due;
  for (const ScheduledTask& task : tasks_) {
    if (runnable(task) && (task.next_run <= now || missed_.count(task.id) != 0)) {
      due.push_back(task);
    }
  }
  return due;
}

void Scheduler::recordRun(const std::string& id, TimePoint start) {
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find_if(tasks_.begin(), tasks_.end(),
                              [&id](const ScheduledTask& task) { return task.id == id; });
    if (found == tasks_.end()) return;
    missed_.erase(id);
    found->last_run = start;
    try {
      found->next_run = computeNextRun(*found);
    } catch (const std::overflow_error&) {
      // Without a representable next run the task would be due on every check; a day later is
      // what a disabled task gets.
      found->next_run = clock_.now() + std::chrono::hours(24);
    }
    if (saveTasks(problem)) return;
  }
  logSaveFailure(configPath_, problem);
}

void Scheduler::keepDue(const std::string& id, TimePoint start) {
  std::string problem;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find_if(tasks_.begin(), tasks_.end(),
                              [&id](const ScheduledTask& task) { return task.id == id; });
    if (found == tasks_.end()) return;
    missed_.insert(id);
    if (found->next_run <= start) return;
    found->next_run = start;
    if (saveTasks(problem)) return;
  }
  logSaveFailure(configPath_, problem);
}

TimePoint Scheduler::computeNextRun(const ScheduledTask& task) const {
  const TimePoint now = clock_.now();
  const std::tm today = platform::toLocalCalendar(std::chrono::system_clock::to_time_t(now));
  std::tm target = today;
  target.tm_hour = task.hour;
  target.tm_min = task.minute;
  target.tm_sec = 0;

  switch (task.frequency) {
    case ScheduleFrequency::Daily: {
      std::tm probe = target;
      if (normalise(probe) <= now) target.tm_mday += 1;
      return normalise(target);
    }
    case ScheduleFrequency::Weekly: {
      // Wide arithmetic and a non-negative remainder: any day number maps onto a weekday ahead.
      long long days = (static_cast<long long>(task.day_of_week) - today.tm_wday) % 7;
      if (days < 0) days += 7;
      std::tm probe = target;
      if (days == 0 && normalise(probe) <= now) days = 7;
      target.tm_mday += static_cast<int>(days);
      return normalise(target);
    }
    case ScheduleFrequency::Monthly: {
      target.tm_mday = task.day_of_month;
      TimePoint thisMonth = normalise(target);
      if (thisMonth > now) return thisMonth;
      target.tm_mon += 1;
      return normalise(target);
    }
    case ScheduleFrequency::Disabled:
      break;
  }
  return now + std::chrono::hours(24);
}

std::string Scheduler::generateTaskId() { return platform::generateRandomId(); }

std::vector<std::string> Scheduler::defaultScanPaths(ScheduledScanType scanType) {
  switch (scanType) {
    case ScheduledScanType::Quick:
      return {"/home", "/root", "/tmp", "/var/tmp", "/opt"};
    case ScheduledScanType::Full:
      return {"/"};
    case ScheduledScanType::Custom:
      break;
  }
  return {};
}

bool Scheduler::loadTasks(std::string& problem) {
  platform::JsonFileStore::Reading reading = file_.read();
  if (reading.outcome == platform::JsonFileStore::Outcome::Missing) return true;
  if (reading.outcome == platform::JsonFileStore::Outcome::Unreadable) {
    problem = reading.reason;
    return false;
  }
  const Json& document = reading.document;

  tasks_.clear();
  if (!document.is_object()) {
    problem = "el documento no es un objeto";
    return false;
  }
  auto list = document.find("tasks");
  if (list == document.end()) return true;
  if (!list->is_array()) {
    problem = "\"tasks\" no es una lista";
    return false;
  }
  for (std::size_t index = 0; index < list->size(); ++index) {
    try {
      tasks_.push_back(taskFromJson((*list)[index]));
    } catch (const std::exception& e) {
      problem = "tarea " + std::to_string(index + 1) + ": " + e.what();
      return false;
    }
  }
  return true;
}

bool Scheduler::saveTasks(std::string& problem) {
  try {
    Json list = Json::array();
    for (const ScheduledTask& task : tasks_) list.push_back(taskToJson(task));
    Json document = {{"tasks", std::move(list)}, {"version", "1.0"}};
    std::string movedTo;
    const bool saved = file_.save(document, &problem, &movedTo);
    if (!movedTo.empty()) {
      EventLogger::instance().warning("Archivo de tareas ilegible conservado como " + movedTo);
    }
    return saved;
  } catch (const std::exception& e) {
    problem = e.what();
    return false;
  }
}

}  // namespace norvid
