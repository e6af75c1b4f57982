#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scheduler/Scheduler.hpp"

namespace norvid {

// The commands over the scheduler: add a daily or weekly task, list the tasks, remove one.
// Each handler returns the serialised response; without a scheduler every one answers
// "Scheduler no inicializado".
class ScheduleCommands {
 public:
  // `scheduler` may be null (the service core came up without one); it is not owned.
  explicit ScheduleCommands(Scheduler* scheduler) : scheduler_(scheduler) {}

  // Most paths one task may name, and the longest path.
  static constexpr std::size_t kMaxScanPaths = 64;
  static constexpr std::size_t kMaxPathBytes = 4096;

  // `frequency` "daily" or "weekly" (weekly tasks run on Sunday); `scanType` "full" or "custom",
  // any other text a quick scan. `scanPaths`, when given, are the absolute paths the task scans
  // instead of its scan type's defaults (at least one, at most kMaxScanPaths).
  std::string handleAddSchedule(const std::string& frequency, std::int32_t hour,
                                std::int32_t minute, const std::string& scanType,
                                const std::optional<std::vector<std::string>>& scanPaths = {});
  std::string handleListSchedules();
  std::string handleRemoveSchedule(const std::string& taskId);

 private:
  Scheduler* scheduler_;
};

}  // namespace norvid
