// Starts a scheduler on a scheduler.json holding the input and lists its tasks, as the service
// does at start and for list_schedules. The clock is fixed, so runs repeat. Every task whose next
// run can be represented gets it computed; a file that loads is rewritten with tasks that load
// again unchanged, and one that does not is kept byte for byte.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "scheduler/ScheduledTask.hpp"
#include "scheduler/Scheduler.hpp"
#include "tests/fuzz/FuzzCheck.hpp"
#include "tests/fuzz/FuzzEntry.hpp"
#include "tests/fuzz/FuzzWorkspace.hpp"
#include "tests/support/FakeClock.hpp"

namespace {

namespace fs = std::filesystem;
using norvid::fuzzing::FuzzWorkspace;
using norvid::fuzzing::require;

class SchedulerHarness {
 public:
  SchedulerHarness() : workspace_("scheduler") {}

  void run(const std::string& bytes) {
    workspace_.freshDirectory("config");
    const std::string file = workspace_.write("config/scheduler.json", bytes);

    norvid::Scheduler scheduler(file, clock_);
    const bool loaded = scheduler.initialize();
    const std::vector<norvid::ScheduledTask> tasks = scheduler.getTasks();
    for (const norvid::ScheduledTask& task : tasks) {
      std::chrono::system_clock::time_point expected;
      try {
        expected = scheduler.computeNextRun(task);
      } catch (const std::overflow_error&) {
        continue;  // out of the clock's range: the task keeps what the file said
      }
      require(task.next_run == expected, "every representable next run is computed at start");
      require(expected > clock_.now(), "a next run lies after now");
    }
    if (!loaded) {
      require(norvid::fuzzing::readWholeFile(file) == bytes,
              "an unreadable scheduler.json is kept unchanged");
      return;
    }
    norvid::Scheduler again(file, clock_);
    require(again.initialize(), "a rewritten scheduler.json loads again");
    require(again.getTasks() == tasks, "tasks survive a round trip");
  }

 private:
  FuzzWorkspace workspace_;
  norvid::testing::FakeClock clock_{
      // 2025-03-07 10:30:00 UTC.
      std::chrono::system_clock::time_point(std::chrono::seconds(1741343400))};
};

}  // namespace

NORVID_FUZZ_HARNESS(SchedulerHarness)
