#pragma once

#include <cstdint>
#include <string>

#include "scheduler/Scheduler.hpp"

namespace norvid {

// The commands over the scheduler: add a daily or weekly task, list the tasks, remove one.
// Each handler returns the serialised response; without a scheduler every one answers
// "Scheduler no inicializado".
class ScheduleCommands {
 public:
  // `scheduler` may be null (the service core came up without one); it is not owned.
  explicit ScheduleCommands(Scheduler* scheduler) : scheduler_(scheduler) {}

  // `frequency` "daily" or "weekly" (weekly tasks run on Sunday); `scanType` "full" or "custom",
  // any other text a quick scan.
  std::string handleAddSchedule(const std::string& frequency, std::int32_t hour,
                                std::int32_t minute, const std::string& scanType);
  std::string handleListSchedules();
  std::string handleRemoveSchedule(const std::string& taskId);

 private:
  Scheduler* scheduler_;
};

}  // namespace norvid
