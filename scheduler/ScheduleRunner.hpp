#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.hpp"
#include "scheduler/ScheduledTask.hpp"
#include "scheduler/Scheduler.hpp"

namespace norvid {

// Starts the scheduler's due tasks. A polling thread looks at the scheduler's clock every poll
// interval; each due task runs on a thread of its own, a task is never started again while its
// run goes on, and at most kMaxConcurrentRuns run at once (the others wait for a free place).
// After a run, finished or cancelled, the task's run is recorded (last run = the run's start,
// next run computed again); a run cut short by stop() is not recorded, so the task is due again
// at the next start.
// REQUIRES: `scheduler` and `clock` outlive the runner.
class ScheduleRunner {
 public:
  // Runs one task: the action returns when the task's work ended. `stop` is raised by stop();
  // the action should end soon after. An exception counts as a finished run and is logged.
  using Action = std::function<void(const ScheduledTask& task, std::stop_token stop)>;

  // Checking twice a minute starts a task at most about 30 seconds after its time.
  static constexpr std::chrono::milliseconds kDefaultPollInterval{30000};
  static constexpr std::size_t kMaxConcurrentRuns = 2;

  ScheduleRunner(Scheduler& scheduler, Action action,
                 const platform::Clock& clock = platform::SystemClock::instance(),
                 std::chrono::milliseconds pollInterval = kDefaultPollInterval);
  // Stops like stop().
  ~ScheduleRunner();
  ScheduleRunner(const ScheduleRunner&) = delete;
  ScheduleRunner& operator=(const ScheduleRunner&) = delete;

  // Starts the polling thread, which checks at once and then every poll interval. Does nothing
  // while it runs.
  void start();
  // Ends the polling, asks every run to stop and waits for them.
  void stop();

  // Starts every due task that is not running, within the limit; returns the ids started. Used by
  // the polling thread and by tests that move the clock themselves.
  std::vector<std::string> startDueTasks();

  // Waits until no run is in progress.
  void waitUntilIdle();

  // The ids of the tasks running now.
  std::vector<std::string> runningTasks() const;

 private:
  struct Run {
    std::jthread thread;
    bool finished = false;
  };

  void poll(std::stop_token stop);
  void execute(const ScheduledTask& task, std::stop_token stop);
  // Joins the threads of finished runs. REQUIRES: mutex_ held by `lock`.
  void reapFinished(std::unique_lock<std::mutex>& lock);

  Scheduler& scheduler_;
  Action action_;
  const platform::Clock& clock_;
  const std::chrono::milliseconds pollInterval_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, Run> runs_;
  bool stopping_ = false;
  std::jthread poller_;
};

}  // namespace norvid
