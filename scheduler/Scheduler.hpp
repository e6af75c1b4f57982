#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/JsonFileStore.hpp"
#include "scheduler/ScheduledTask.hpp"

namespace norvid {

// Keeps the scheduled scan tasks, persists them in one JSON file and computes each task's next run
// from the local calendar. It says which tasks are due and records their runs; ScheduleRunner
// starts them. Every operation is safe to call from several threads at once.
class Scheduler {
 public:
  // Most tasks the scheduler accepts through addTask; a file holding more still loads whole.
  static constexpr std::size_t kMaxTasks = 1000;

  // Keeps the tasks in `configPath`. Reads nothing yet.
  explicit Scheduler(const std::string& configPath,
                     const platform::Clock& clock = platform::SystemClock::instance());
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Creates the file's directory, loads the tasks, recomputes every next run and rewrites the
  // file. A task whose stored next run had already passed (its time came while the service was
  // not running) is due once, at once. When the file cannot be read, the tasks read before the
  // fault are kept, the file is left as it is and the problem is logged. Returns false when the
  // directory cannot be made or the file cannot be read or written.
  bool initialize();

  // Stores a copy of `task` with a fresh id and its next run computed, writes the file and returns
  // the id. Nothing changes when it throws: std::invalid_argument for a frequency or scan type
  // outside the enumerations, std::length_error past kMaxTasks, std::overflow_error when the next
  // run cannot be represented, std::runtime_error when the file cannot be written.
  std::string addTask(const ScheduledTask& task);

  // An enabled daily or weekly task scanning `scanPaths`, or when absent the default scan paths
  // of `scanType`; see addTask.
  std::string addDailyTask(std::int32_t hour, std::int32_t minute, ScheduledScanType scanType,
                           std::optional<std::vector<std::string>> scanPaths = std::nullopt);
  std::string addWeeklyTask(std::int32_t dayOfWeek, std::int32_t hour, std::int32_t minute,
                            ScheduledScanType scanType,
                            std::optional<std::vector<std::string>> scanPaths = std::nullopt);

  // Removes the first task with exactly this id and writes the file. False (file untouched) when
  // no task has it; throws std::runtime_error, keeping the task, when the file cannot be written.
  bool removeTask(const std::string& id);

  // A copy of the tasks in insertion order.
  std::vector<ScheduledTask> getTasks() const;

  // Copies of the enabled daily, weekly and monthly tasks whose next run has come, and of those
  // missed while the service was down, in insertion order.
  std::vector<ScheduledTask> dueTasks() const;

  // Records a run of the task `id` that began at `start`: its last run becomes `start`, its next
  // run is computed afresh from now, and the file is written. A task removed meanwhile is left
  // alone. A failed write is logged; the memory keeps the run, so the task is not due again.
  void recordRun(const std::string& id, std::chrono::system_clock::time_point start);

  // Records that a run of the task `id` that began at `start` was cut short by the service's
  // stop: the task stays due, and its next run becomes `start` at the latest and is written, so
  // that the next start of the service (which reads the file afresh) runs it again, once. A task
  // removed meanwhile is left alone; a failed write is logged.
  void keepDue(const std::string& id, std::chrono::system_clock::time_point start);

  // The next local time the task is due, strictly after now: daily and weekly at its hour and
  // minute, monthly on its day of the month, anything else exactly 24 hours from now. Throws
  // std::overflow_error when the result lies outside the clock's range.
  std::chrono::system_clock::time_point computeNextRun(const ScheduledTask& task) const;

  // A fresh random 8-4-4-4-12 identifier.
  static std::string generateTaskId();

  // The directories a scan of this type covers by default.
  static std::vector<std::string> defaultScanPaths(ScheduledScanType scanType);

  const std::string& configPath() const { return configPath_; }

 private:
  // An enabled task with `scanPaths` or the default scan paths of `scanType`, never run.
  static ScheduledTask enabledTask(ScheduleFrequency frequency, std::int32_t dayOfWeek,
                                   std::int32_t hour, std::int32_t minute,
                                   ScheduledScanType scanType,
                                   std::optional<std::vector<std::string>> scanPaths);

  // Replaces the list with the file's tasks; a missing file leaves it as it is. On failure the
  // tasks read before the fault stay and `problem` says what went wrong.
  bool loadTasks(std::string& problem);

  // Writes the list atomically; on failure the old file stays and `problem` names the cause. A
  // file that could not be read is first moved aside, so its unread tasks are not lost.
  bool saveTasks(std::string& problem);

  std::string configPath_;
  const platform::Clock& clock_;
  std::vector<ScheduledTask> tasks_;
  // Tasks whose time passed while the service was not running: due once, whatever their next run.
  std::set<std::string> missed_;
  // The tasks' file; one that could not be read is moved aside before the next write.
  platform::JsonFileStore file_;
  mutable std::mutex mutex_;
};

}  // namespace norvid
