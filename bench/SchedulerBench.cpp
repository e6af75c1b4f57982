// Prints what the scheduler's operations cost: next-run arithmetic, an add (one atomic, synced
// rewrite of scheduler.json) at several list sizes, start-up on a full file and a listing.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "ipc/ScheduleCommands.hpp"
#include "scheduler/Scheduler.hpp"

namespace fs = std::filesystem;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
  fs::path dir = fs::temp_directory_path() /
                 ("norvid-scheduler-bench-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir);
  const std::string config = (dir / "scheduler.json").string();

  norvid::Scheduler scheduler(config);
  scheduler.initialize();

  norvid::ScheduledTask task;
  constexpr int kComputations = 200000;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kComputations; ++i) {
    task.frequency = static_cast<norvid::ScheduleFrequency>(1 + i % 3);
    task.hour = i % 24;
    task.day_of_week = i % 7;
    task.day_of_month = 1 + i % 31;
    scheduler.computeNextRun(task);
  }
  std::printf("computeNextRun: %.2f us per call\n", secondsSince(start) * 1e6 / kComputations);

  std::size_t sizes[] = {10, 100, norvid::Scheduler::kMaxTasks - 10};
  for (std::size_t target : sizes) {
    while (scheduler.getTasks().size() + 10 < target) {
      scheduler.addDailyTask(8, 0, norvid::ScheduledScanType::Quick);
    }
    start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) scheduler.addDailyTask(8, 0, norvid::ScheduledScanType::Quick);
    std::printf("addDailyTask with %zu tasks: %.2f ms per add (file %ju bytes)\n", target,
                secondsSince(start) * 1e3 / 10, static_cast<std::uintmax_t>(fs::file_size(config)));
  }

  start = std::chrono::steady_clock::now();
  norvid::Scheduler reloaded(config);
  reloaded.initialize();
  std::printf("initialize with %zu tasks: %.2f ms\n", reloaded.getTasks().size(),
              secondsSince(start) * 1e3);

  norvid::ScheduleCommands commands(&reloaded);
  start = std::chrono::steady_clock::now();
  std::size_t bytes = 0;
  for (int i = 0; i < 20; ++i) bytes = commands.handleListSchedules().size();
  std::printf("list_schedules with %zu tasks: %.2f ms, %zu bytes\n", reloaded.getTasks().size(),
              secondsSince(start) * 1e3 / 20, bytes);

  fs::remove_all(dir);
  return 0;
}
