#include "scheduler/ScheduleRunner.hpp"

#include <exception>
#include <utility>

#include "logging/EventLogger.hpp"

namespace norvid {

ScheduleRunner::ScheduleRunner(Scheduler& scheduler, Action action, const platform::Clock& clock,
                               std::chrono::milliseconds pollInterval)
    : scheduler_(scheduler),
      action_(std::move(action)),
      clock_(clock),
      pollInterval_(pollInterval) {}

ScheduleRunner::~ScheduleRunner() { stop(); }

void ScheduleRunner::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || poller_.joinable()) return;
  poller_ = std::jthread([this](std::stop_token stop) { poll(stop); });
}

void ScheduleRunner::stop() {
  std::map<std::string, Run> runs;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    runs.swap(runs_);
  }
  changed_.notify_all();
  if (poller_.joinable()) {
    poller_.request_stop();
    poller_.join();
  }
  for (auto& [id, run] : runs) run.thread.request_stop();
  for (auto& [id, run] : runs) {
    if (run.thread.joinable()) run.thread.join();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = false;
}

std::vector<std::string> ScheduleRunner::startDueTasks() {
  const std::vector<ScheduledTask> due = scheduler_.dueTasks();
  std::vector<std::string> started;
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopping_) return started;
  reapFinished(lock);
  for (const ScheduledTask& task : due) {
    if (runs_.size() >= kMaxConcurrentRuns) break;
    if (runs_.count(task.id) != 0) continue;
    runs_[task.id].thread =
        std::jthread([this, task](std::stop_token stop) { execute(task, stop); });
    started.push_back(task.id);
  }
  return started;
}

void ScheduleRunner::waitUntilIdle() {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] {
    for (const auto& [id, run] : runs_) {
      if (!run.finished) return false;
    }
    return true;
  });
  reapFinished(lock);
}

std::vector<std::string> ScheduleRunner::runningTasks() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> ids;
  for (const auto& [id, run] : runs_) {
    if (!run.finished) ids.push_back(id);
  }
  return ids;
}

void ScheduleRunner::poll(std::stop_token stop) {
  while (!stop.stop_requested()) {
    startDueTasks();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, pollInterval_, [this] { return stopping_; });
  }
}

void ScheduleRunner::execute(const ScheduledTask& task, std::stop_token stop) {
  EventLogger& logger = EventLogger::instance();
  const auto start = clock_.now();
  logger.info("Tarea programada " + task.id + " iniciada");
  try {
    action_(task, stop);
  } catch (const std::exception& error) {
    logger.error("Tarea programada " + task.id + ": " + error.what());
  }
  if (stop.stop_requested()) {
    // Cut short by the service's stop: the task stays due and runs again at the next start.
    scheduler_.keepDue(task.id, start);
    logger.info("Tarea programada " + task.id + " interrumpida por la parada del servicio");
  } else {
    scheduler_.recordRun(task.id, start);
    logger.info("Tarea programada " + task.id + " terminada");
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = runs_.find(task.id);
    if (found != runs_.end()) found->second.finished = true;
  }
  changed_.notify_all();
}

void ScheduleRunner::reapFinished(std::unique_lock<std::mutex>&) {
  // A finished run's thread does nothing after marking itself, so its join is immediate.
  for (auto run = runs_.begin(); run != runs_.end();) {
    if (run->second.finished) {
      run->second.thread.join();
      run = runs_.erase(run);
    } else {
      ++run;
    }
  }
}

}  // namespace norvid
