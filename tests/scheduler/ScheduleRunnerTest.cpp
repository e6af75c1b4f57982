#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "scheduler/ScheduleRunner.hpp"
#include "scheduler/Scheduler.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/ScopedTimeZone.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

using Json = nlohmann::json;
using std::chrono::system_clock;
using testing::EventLogCapture;
using testing::FakeClock;
using testing::readFile;
using testing::ScopedTimeZone;
using testing::TempDir;

// Records every run; a held action waits until released or until the runner asks it to stop.
class RecordingAction {
 public:
  void operator()(const ScheduledTask& task, std::stop_token stop) {
    // Registered before taking the lock: a stop already requested runs it at once, here.
    std::stop_callback wake(stop, [this] {
      std::lock_guard<std::mutex> inner(mutex_);
      changed_.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex_);
    runs_.push_back(task.id);
    changed_.notify_all();
    changed_.wait(lock, [&] { return !hold_ || stop.stop_requested(); });
    if (throwing_) throw std::runtime_error("fallo de prueba");
  }

  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    hold_ = false;
    changed_.notify_all();
  }
  void throwing() { throwing_ = true; }
  // Waits (bounded, so a fault fails instead of hanging) until `count` runs have begun.
  bool waitForRuns(std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return runs_.size() >= count; });
  }
  std::vector<std::string> runs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return runs_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> runs_;
  bool hold_ = false;
  std::atomic<bool> throwing_{false};
};

class ScheduleRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override { EventLogCapture::instance(); }

  std::string configPath() const { return dir_.str() + "/config/scheduler.json"; }

  ScheduleRunner::Action action() {
    return [this](const ScheduledTask& task, std::stop_token stop) { action_(task, stop); };
  }

  // The task as the file holds it now.
  Json storedTask(const std::string& id) const {
    const Json document = Json::parse(readFile(configPath()));
    for (const Json& task : document.at("tasks")) {
      if (task.at("id") == id) return task;
    }
    return Json();
  }

  ScopedTimeZone zone_{"Europe/Madrid"};
  FakeClock clock_{zone_.instant("2025-01-15 07:00:00")};
  TempDir dir_;
  RecordingAction action_;
};

TEST_F(ScheduleRunnerTest, TaskDueSoonRunsOnceWhenItsTimeComesAndIsRescheduled) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  const std::string id = scheduler.addDailyTask(7, 1, ScheduledScanType::Quick);
  ScheduleRunner runner(scheduler, action(), clock_);

  EXPECT_TRUE(runner.startDueTasks().empty()) << "not due before 07:01";
  clock_.set(zone_.instant("2025-01-15 07:01:10"));
  EXPECT_EQ(runner.startDueTasks(), std::vector<std::string>{id});
  runner.waitUntilIdle();
  EXPECT_EQ(action_.runs(), std::vector<std::string>{id});

  const ScheduledTask task = scheduler.getTasks().at(0);
  EXPECT_EQ(zone_.format(task.last_run), "2025-01-15 07:01:10 +0100");
  EXPECT_EQ(zone_.format(task.next_run), "2025-01-16 07:01:00 +0100");
  const Json stored = storedTask(id);
  EXPECT_EQ(stored.at("last_run"), system_clock::to_time_t(task.last_run));
  EXPECT_EQ(stored.at("next_run"), system_clock::to_time_t(task.next_run));

  clock_.advance(std::chrono::hours(1));
  EXPECT_TRUE(runner.startDueTasks().empty()) << "ran once, next due tomorrow";
}

TEST_F(ScheduleRunnerTest, TaskMissedWhileDownRunsOnceAtStartAndNotAgainAtTheNextStart) {
  {
    Scheduler before(configPath(), clock_);
    ASSERT_TRUE(before.initialize());
    before.addDailyTask(7, 30, ScheduledScanType::Full);
  }
  // The service was down for three days, past three of the task's times.
  clock_.set(zone_.instant("2025-01-18 12:00:00"));
  std::string id;
  {
    Scheduler scheduler(configPath(), clock_);
    ASSERT_TRUE(scheduler.initialize());
    id = scheduler.getTasks().at(0).id;
    ScheduleRunner runner(scheduler, action(), clock_);
    EXPECT_EQ(runner.startDueTasks(), std::vector<std::string>{id});
    runner.waitUntilIdle();
    EXPECT_TRUE(runner.startDueTasks().empty()) << "one run for all the missed ones";
    EXPECT_EQ(zone_.format(scheduler.getTasks().at(0).next_run), "2025-01-19 07:30:00 +0100");
  }
  clock_.advance(std::chrono::minutes(5));
  Scheduler restarted(configPath(), clock_);
  ASSERT_TRUE(restarted.initialize());
  ScheduleRunner runner(restarted, action(), clock_);
  EXPECT_TRUE(runner.startDueTasks().empty());
  EXPECT_EQ(action_.runs(), std::vector<std::string>{id});
}

TEST_F(ScheduleRunnerTest, TaskStillRunningWhenDueAgainIsNotStartedTwice) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  const std::string id = scheduler.addDailyTask(7, 5, ScheduledScanType::Full);
  ScheduleRunner runner(scheduler, action(), clock_);
  action_.hold();
  clock_.set(zone_.instant("2025-01-15 07:05:00"));
  ASSERT_EQ(runner.startDueTasks(), std::vector<std::string>{id});
  ASSERT_TRUE(action_.waitForRuns(1));

  // Two days later it is still running: due again, but not started again.
  clock_.set(zone_.instant("2025-01-17 08:00:00"));
  EXPECT_TRUE(runner.startDueTasks().empty());
  EXPECT_EQ(runner.runningTasks(), std::vector<std::string>{id});
  action_.release();
  runner.waitUntilIdle();
  EXPECT_EQ(action_.runs().size(), 1u);
  const ScheduledTask task = scheduler.getTasks().at(0);
  EXPECT_EQ(zone_.format(task.last_run), "2025-01-15 07:05:00 +0100");
  EXPECT_EQ(zone_.format(task.next_run), "2025-01-18 07:05:00 +0100");
  EXPECT_TRUE(runner.startDueTasks().empty());
}

TEST_F(ScheduleRunnerTest, StopEndsARunningTaskWhichStaysDueForTheNextStart) {
  std::string id;
  {
    Scheduler scheduler(configPath(), clock_);
    ASSERT_TRUE(scheduler.initialize());
    id = scheduler.addDailyTask(7, 5, ScheduledScanType::Full);
    ScheduleRunner runner(scheduler, action(), clock_);
    action_.hold();
    clock_.set(zone_.instant("2025-01-15 07:06:00"));
    ASSERT_EQ(runner.startDueTasks().size(), 1u);
    ASSERT_TRUE(action_.waitForRuns(1));
    runner.stop();  // returns: the held action sees the stop
    EXPECT_TRUE(runner.runningTasks().empty());
    EXPECT_EQ(scheduler.getTasks().at(0).last_run, system_clock::time_point{});
  }
  Scheduler restarted(configPath(), clock_);
  ASSERT_TRUE(restarted.initialize());
  action_.release();
  ScheduleRunner runner(restarted, action(), clock_);
  EXPECT_EQ(runner.startDueTasks(), std::vector<std::string>{id});
  runner.waitUntilIdle();
  EXPECT_EQ(zone_.format(restarted.getTasks().at(0).last_run), "2025-01-15 07:06:00 +0100");
}

TEST_F(ScheduleRunnerTest, FailedRunIsRecordedSoTheTaskDoesNotRunOnEveryCheck) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  scheduler.addDailyTask(7, 5, ScheduledScanType::Quick);
  ScheduleRunner runner(scheduler, action(), clock_);
  action_.throwing();
  clock_.set(zone_.instant("2025-01-15 07:05:30"));
  std::size_t mark = EventLogCapture::instance().mark();
  ASSERT_EQ(runner.startDueTasks().size(), 1u);
  runner.waitUntilIdle();
  EXPECT_TRUE(runner.startDueTasks().empty());
  const std::vector<std::string> lines = EventLogCapture::instance().messagesSince(mark);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find("fallo de prueba") != std::string::npos;
  }));
}

TEST_F(ScheduleRunnerTest, DisabledTasksNeverRunAndAtMostTwoRunAtOnce) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  ScheduledTask off;
  off.enabled = false;
  off.hour = 7;
  off.minute = 5;
  scheduler.addTask(off);
  ScheduledTask disabledFrequency = off;
  disabledFrequency.enabled = true;
  disabledFrequency.frequency = ScheduleFrequency::Disabled;
  scheduler.addTask(disabledFrequency);
  for (int i = 0; i < 3; ++i) scheduler.addDailyTask(7, 5, ScheduledScanType::Quick);
  ScheduleRunner runner(scheduler, action(), clock_);
  action_.hold();
  clock_.set(zone_.instant("2025-01-17 07:06:00"));
  EXPECT_EQ(runner.startDueTasks().size(), ScheduleRunner::kMaxConcurrentRuns);
  ASSERT_TRUE(action_.waitForRuns(2));
  EXPECT_TRUE(runner.startDueTasks().empty());
  action_.release();
  runner.waitUntilIdle();
  EXPECT_EQ(runner.startDueTasks().size(), 1u) << "the third waited for a free place";
  runner.waitUntilIdle();
  EXPECT_EQ(action_.runs().size(), 3u);
  EXPECT_TRUE(runner.startDueTasks().empty());
}

TEST_F(ScheduleRunnerTest, PollingThreadStartsATaskWhenTheClockReachesIt) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  const std::string id = scheduler.addDailyTask(7, 1, ScheduledScanType::Quick);
  ScheduleRunner runner(scheduler, action(), clock_, std::chrono::milliseconds(5));
  runner.start();
  clock_.set(zone_.instant("2025-01-15 07:01:00"));
  ASSERT_TRUE(action_.waitForRuns(1));
  runner.stop();
  EXPECT_EQ(action_.runs(), std::vector<std::string>{id});
}

}  // namespace
}  // namespace norvid
