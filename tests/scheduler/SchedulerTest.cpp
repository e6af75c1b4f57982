#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "scheduler/Scheduler.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/ScopedTimeZone.hpp"
#include "tests/support/EventLogCapture.hpp"
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

const char* const kEmptyFile = "{\n  \"tasks\": [],\n  \"version\": \"1.0\"\n}";

std::vector<std::string> quickPaths() { return {"/home", "/root", "/tmp", "/var/tmp", "/opt"}; }

// A stored task as the file holds it, for building scheduler.json by hand.
Json storedTask(const std::string& id) {
  return {{"id", id},           {"enabled", true},      {"frequency", "daily"},
          {"hour", 8},          {"minute", 0},          {"day_of_week", -1},
          {"day_of_month", -1}, {"scan_type", "quick"}, {"scan_paths", Json::array({"C:\\Users"})},
          {"last_run", 0},      {"next_run", 0}};
}

std::string fileWith(const Json& tasks) {
  return Json{{"tasks", tasks}, {"version", "1.0"}}.dump(2);
}

class SchedulerTest : public ::testing::Test {
 protected:
  void SetUp() override { EventLogCapture::instance(); }

  std::string configPath() const { return dir_.str() + "/config/scheduler.json"; }

  // The file turns into a directory, so every later save fails at the rename.
  void blockSaves() const {
    std::filesystem::remove(configPath());
    std::filesystem::create_directories(configPath() + "/blocker");
  }

  ScopedTimeZone zone_{"Europe/Madrid"};
  FakeClock clock_{zone_.instant("2025-01-15 07:00:00")};  // a Wednesday
  TempDir dir_;
};

struct NextRunCase {
  const char* name;
  ScheduleFrequency frequency;
  int dayOfWeek;
  int dayOfMonth;
  int hour;
  int minute;
  const char* now;
  const char* expected;
};

void PrintTo(const NextRunCase& c, std::ostream* out) { *out << c.name; }

class NextRunTest : public SchedulerTest, public ::testing::WithParamInterface<NextRunCase> {};

TEST_P(NextRunTest, LandsOnTheLocalTimeAskedFor) {
  const NextRunCase& c = GetParam();
  clock_.set(zone_.instant(c.now));
  Scheduler scheduler(configPath(), clock_);
  ScheduledTask task;
  task.frequency = c.frequency;
  task.day_of_week = c.dayOfWeek;
  task.day_of_month = c.dayOfMonth;
  task.hour = c.hour;
  task.minute = c.minute;
  EXPECT_EQ(zone_.format(scheduler.computeNextRun(task)), c.expected);
}

constexpr auto kDaily = ScheduleFrequency::Daily;
constexpr auto kWeekly = ScheduleFrequency::Weekly;
constexpr auto kMonthly = ScheduleFrequency::Monthly;

INSTANTIATE_TEST_SUITE_P(
    Calendar, NextRunTest,
    ::testing::Values(NextRunCase{"daily_before", kDaily, -1, -1, 8, 0, "2025-01-15 07:59:00",
                                  "2025-01-15 08:00:00 +0100"},
                      NextRunCase{"daily_at", kDaily, -1, -1, 8, 0, "2025-01-15 08:00:00",
                                  "2025-01-16 08:00:00 +0100"},
                      NextRunCase{"daily_after", kDaily, -1, -1, 8, 0, "2025-01-15 08:00:01",
                                  "2025-01-16 08:00:00 +0100"},
                      NextRunCase{"daily_month_end", kDaily, -1, -1, 8, 0, "2025-01-31 09:00:00",
                                  "2025-02-01 08:00:00 +0100"},
                      NextRunCase{"daily_hour_25", kDaily, -1, -1, 25, 0, "2025-01-15 10:00:00",
                                  "2025-01-16 01:00:00 +0100"},
                      NextRunCase{"weekly_sunday_before", kWeekly, 0, -1, 8, 0,
                                  "2025-01-19 07:00:00", "2025-01-19 08:00:00 +0100"},
                      NextRunCase{"weekly_sunday_at", kWeekly, 0, -1, 8, 0, "2025-01-19 08:00:00",
                                  "2025-01-26 08:00:00 +0100"},
                      NextRunCase{"weekly_sunday_after", kWeekly, 0, -1, 8, 0,
                                  "2025-01-19 08:30:00", "2025-01-26 08:00:00 +0100"},
                      NextRunCase{"weekly_later_weekday", kWeekly, 5, -1, 8, 0,
                                  "2025-01-15 09:00:00", "2025-01-17 08:00:00 +0100"},
                      NextRunCase{"weekly_earlier_weekday", kWeekly, 1, -1, 8, 0,
                                  "2025-01-15 07:00:00", "2025-01-20 08:00:00 +0100"},
                      NextRunCase{"weekly_day_minus_eight_is_saturday", kWeekly, -8, -1, 8, 0,
                                  "2025-01-15 07:00:00", "2025-01-18 08:00:00 +0100"},
                      NextRunCase{"monthly_later_this_month", kMonthly, -1, 20, 8, 0,
                                  "2025-01-10 12:00:00", "2025-01-20 08:00:00 +0100"},
                      NextRunCase{"monthly_31_on_31_january", kMonthly, -1, 31, 8, 0,
                                  "2025-01-31 09:00:00", "2025-03-03 08:00:00 +0100"},
                      NextRunCase{"monthly_31_on_31_january_leap", kMonthly, -1, 31, 8, 0,
                                  "2024-01-31 09:00:00", "2024-03-02 08:00:00 +0100"},
                      NextRunCase{"daily_into_summer_time", kDaily, -1, -1, 10, 0,
                                  "2025-03-29 12:00:00", "2025-03-30 10:00:00 +0200"},
                      NextRunCase{"daily_into_winter_time", kDaily, -1, -1, 10, 0,
                                  "2025-10-25 12:00:00", "2025-10-26 10:00:00 +0100"},
                      NextRunCase{"weekly_into_summer_time", kWeekly, 0, -1, 10, 0,
                                  "2025-03-23 12:00:00", "2025-03-30 10:00:00 +0200"},
                      NextRunCase{"monthly_into_summer_time", kMonthly, -1, 1, 10, 0,
                                  "2025-03-15 12:00:00", "2025-04-01 10:00:00 +0200"}),
    [](const ::testing::TestParamInfo<NextRunCase>& info) { return info.param.name; });

TEST_F(SchedulerTest, DisabledTaskRunsExactlyOneDayLater) {
  // Across the spring change: 24 hours later is 13:00 on the wall clock, not 12:00.
  const auto now = zone_.instant("2025-03-29 12:00:00") + std::chrono::milliseconds(250);
  clock_.set(now);
  Scheduler scheduler(configPath(), clock_);
  ScheduledTask task;
  task.frequency = ScheduleFrequency::Disabled;
  task.hour = 8;
  auto next = scheduler.computeNextRun(task);
  EXPECT_EQ(next, now + std::chrono::hours(24));
  EXPECT_EQ(zone_.format(next), "2025-03-30 13:00:00 +0200");
}

TEST_F(SchedulerTest, NextRunBeyondTheClockRangeIsRefused) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  ScheduledTask task;
  task.hour = 3'000'000;
  EXPECT_THROW(scheduler.computeNextRun(task), std::overflow_error);
  EXPECT_THROW(scheduler.addDailyTask(3'000'000, 0, ScheduledScanType::Quick), std::overflow_error);
  EXPECT_TRUE(scheduler.getTasks().empty());
  EXPECT_EQ(readFile(configPath()), kEmptyFile);
}

class EmptyStartTest : public SchedulerTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(EmptyStartTest, InitializeWritesAnEmptyList) {
  if (*GetParam() != '\0') dir_.write("config/scheduler.json", GetParam());
  Scheduler scheduler(configPath(), clock_);
  EXPECT_TRUE(scheduler.initialize());
  EXPECT_TRUE(scheduler.getTasks().empty());
  EXPECT_EQ(readFile(configPath()), kEmptyFile);
}

INSTANTIATE_TEST_SUITE_P(Files, EmptyStartTest,
                         ::testing::Values("",  // no file: the directory is made as well
                                           "{\"version\": \"1.0\"}",
                                           "{\"tasks\": [], \"version\": \"0.9\"}"));

TEST_F(SchedulerTest, AddedTaskIsStoredInTheFileFormat) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  std::string id = scheduler.addDailyTask(8, 0, ScheduledScanType::Quick);
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-"
                                              "[0-9a-f]{12}")))
      << id;
  // 2025-01-15 08:00 in Madrid is 07:00 UTC.
  const std::string expected = R"json({
  "tasks": [
    {
      "day_of_month": -1,
      "day_of_week": -1,
      "enabled": true,
      "frequency": "daily",
      "hour": 8,
      "id": ")json" + id + R"json(",
      "last_run": 0,
      "minute": 0,
      "next_run": 1736924400,
      "scan_paths": [
        "/home",
        "/root",
        "/tmp",
        "/var/tmp",
        "/opt"
      ],
      "scan_type": "quick"
    }
  ],
  "version": "1.0"
})json";
  EXPECT_EQ(readFile(configPath()), expected);
}

TEST_F(SchedulerTest, InitializeRecomputesNextRunsAndKeepsTheRest) {
  Json weekly = storedTask("task-1");
  weekly["frequency"] = "weekly";
  weekly["day_of_week"] = 3;
  weekly["hour"] = 9;
  weekly["minute"] = 30;
  weekly["scan_type"] = "full";
  weekly["scan_paths"] = Json::array({"/srv", "/home"});
  weekly["last_run"] = 1700000000;
  weekly["next_run"] = 1000;  // long past
  dir_.write("config/scheduler.json", fileWith(Json::array({weekly})));

  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  ASSERT_EQ(scheduler.getTasks().size(), 1u);
  const ScheduledTask task = scheduler.getTasks()[0];
  EXPECT_EQ(task.id, "task-1");
  EXPECT_EQ(task.frequency, ScheduleFrequency::Weekly);
  EXPECT_EQ(task.scan_type, ScheduledScanType::Full);
  EXPECT_EQ(task.scan_paths, (std::vector<std::string>{"/srv", "/home"}));
  EXPECT_EQ(task.last_run, system_clock::from_time_t(1700000000));
  EXPECT_EQ(zone_.format(task.next_run), "2025-01-15 09:30:00 +0100");

  Json expected = weekly;
  expected["next_run"] = system_clock::to_time_t(task.next_run);
  EXPECT_EQ(Json::parse(readFile(configPath())),
            Json({{"tasks", Json::array({expected})}, {"version", "1.0"}}));

  Scheduler reread(configPath(), clock_);
  ASSERT_TRUE(reread.initialize());
  EXPECT_EQ(reread.getTasks(), scheduler.getTasks());
}

struct BadFileCase {
  const char* name;
  std::string content;
  std::size_t tasksKept;
};

void PrintTo(const BadFileCase& c, std::ostream* out) { *out << c.name; }

class BadFileTest : public SchedulerTest, public ::testing::WithParamInterface<BadFileCase> {};

TEST_P(BadFileTest, FileIsLeftAsItIsAndTheProblemLoggedOnce) {
  const BadFileCase& c = GetParam();
  dir_.write("config/scheduler.json", c.content);
  auto mark = EventLogCapture::instance().mark();

  Scheduler scheduler(configPath(), clock_);
  EXPECT_FALSE(scheduler.initialize());

  EXPECT_EQ(readFile(configPath()), c.content);
  ASSERT_EQ(scheduler.getTasks().size(), c.tasksKept);
  if (c.tasksKept > 0) {
    EXPECT_EQ(scheduler.getTasks()[0].id, "good-1");
    EXPECT_EQ(zone_.format(scheduler.getTasks()[0].next_run), "2025-01-15 08:00:00 +0100");
  }
  auto messages = EventLogCapture::instance().messagesSince(mark);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("[WRN] Scheduler: no se pudo leer " + configPath(), 0), 0u)
      << messages[0];

  // The first change keeps the unread file aside instead of writing over it.
  mark = EventLogCapture::instance().mark();
  scheduler.addDailyTask(6, 0, ScheduledScanType::Quick);
  const std::string aside =
      configPath() + ".corrupt-" + std::to_string(system_clock::to_time_t(clock_.now()));
  EXPECT_EQ(readFile(aside), c.content);
  EXPECT_EQ(Json::parse(readFile(configPath()))["tasks"].size(), c.tasksKept + 1);
  EXPECT_EQ(EventLogCapture::instance().messagesSince(mark),
            std::vector<std::string>{"[WRN] Archivo de tareas ilegible conservado como " + aside});
}

Json withMember(Json task, const std::string& key, Json value) {
  task[key] = std::move(value);
  return task;
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadFileTest,
    ::testing::Values(
        BadFileCase{"truncated", "{\"tasks\": [", 0},
        BadFileCase{"text_after_the_document", "{\"tasks\": []} tail", 0},
        BadFileCase{"tasks_is_an_object", "{\"tasks\": {\"a\": 1}, \"version\": \"1.0\"}", 0},
        BadFileCase{"top_level_array",
                    fileWith(Json::array({storedTask("good-1")})).insert(0, "[") + "]", 0},
        BadFileCase{"wrong_type_part_way",
                    fileWith({storedTask("good-1"), withMember(storedTask("bad"), "hour", "8"),
                              storedTask("good-2")}),
                    1},
        BadFileCase{
            "unknown_word_part_way",
            fileWith({storedTask("good-1"), withMember(storedTask("bad"), "frequency", "hourly"),
                      storedTask("good-2")}),
            1}),
    [](const ::testing::TestParamInfo<BadFileCase>& info) { return info.param.name; });

// A task whose next run is out of the clock's range must not stop the computation: the tasks
// after it would keep the next run read from the file.
TEST_F(SchedulerTest, TaskBeyondTheClockRangeLeavesTheOthersComputed) {
  const std::string content =
      fileWith({storedTask("good-1"), withMember(storedTask("far"), "hour", 2147483647),
                withMember(storedTask("good-2"), "hour", 9)});
  dir_.write("config/scheduler.json", content);
  auto mark = EventLogCapture::instance().mark();

  Scheduler scheduler(configPath(), clock_);
  EXPECT_FALSE(scheduler.initialize());

  const std::vector<ScheduledTask> tasks = scheduler.getTasks();
  ASSERT_EQ(tasks.size(), 3u);
  EXPECT_EQ(zone_.format(tasks[0].next_run), "2025-01-15 08:00:00 +0100");
  EXPECT_EQ(tasks[1].next_run, system_clock::time_point{});
  EXPECT_EQ(zone_.format(tasks[2].next_run), "2025-01-15 09:00:00 +0100");
  EXPECT_EQ(readFile(configPath()), content);
  auto messages = EventLogCapture::instance().messagesSince(mark);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("[WRN] Scheduler: error al inicializar: ", 0), 0u) << messages[0];
}

TEST_F(SchedulerTest, InitializeFailsWhenTheDirectoryCannotBeMade) {
  std::string blocker = dir_.write("config", "not a directory");
  auto mark = EventLogCapture::instance().mark();
  Scheduler scheduler(configPath(), clock_);
  EXPECT_FALSE(scheduler.initialize());
  EXPECT_TRUE(scheduler.getTasks().empty());
  EXPECT_EQ(readFile(blocker), "not a directory");
  EXPECT_EQ(EventLogCapture::instance().messagesSince(mark).size(), 1u);
}

struct DefaultPathsCase {
  ScheduledScanType scanType;
  std::vector<std::string> paths;
};

void PrintTo(const DefaultPathsCase& c, std::ostream* out) { *out << static_cast<int>(c.scanType); }

class DefaultPathsTest : public SchedulerTest,
                         public ::testing::WithParamInterface<DefaultPathsCase> {};

TEST_P(DefaultPathsTest, DailyAndWeeklyTasksGetTheScanTypesPaths) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  scheduler.addDailyTask(8, 15, GetParam().scanType);
  scheduler.addWeeklyTask(4, 22, 5, GetParam().scanType);

  auto tasks = scheduler.getTasks();
  ASSERT_EQ(tasks.size(), 2u);
  for (const ScheduledTask& task : tasks) {
    EXPECT_TRUE(task.enabled);
    EXPECT_EQ(task.scan_type, GetParam().scanType);
    EXPECT_EQ(task.scan_paths, GetParam().paths);
    EXPECT_EQ(task.day_of_month, -1);
    EXPECT_EQ(task.last_run, system_clock::time_point{});
  }
  EXPECT_EQ(tasks[0].frequency, ScheduleFrequency::Daily);
  EXPECT_EQ(tasks[0].day_of_week, -1);
  EXPECT_EQ(zone_.format(tasks[0].next_run), "2025-01-15 08:15:00 +0100");
  EXPECT_EQ(tasks[1].frequency, ScheduleFrequency::Weekly);
  EXPECT_EQ(tasks[1].day_of_week, 4);
  EXPECT_EQ(zone_.format(tasks[1].next_run), "2025-01-16 22:05:00 +0100");
}

INSTANTIATE_TEST_SUITE_P(ScanTypes, DefaultPathsTest,
                         ::testing::Values(DefaultPathsCase{ScheduledScanType::Quick, quickPaths()},
                                           DefaultPathsCase{ScheduledScanType::Full, {"/"}},
                                           DefaultPathsCase{ScheduledScanType::Custom, {}}));

TEST_F(SchedulerTest, RemoveDropsOneTaskAndKeepsTheOrder) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  std::string first = scheduler.addDailyTask(1, 0, ScheduledScanType::Quick);
  std::string second = scheduler.addDailyTask(2, 0, ScheduledScanType::Full);
  std::string third = scheduler.addWeeklyTask(3, 3, 0, ScheduledScanType::Custom);

  EXPECT_TRUE(scheduler.removeTask(second));
  EXPECT_FALSE(scheduler.removeTask(second));

  std::vector<std::string> ids;
  for (const ScheduledTask& task : scheduler.getTasks()) ids.push_back(task.id);
  EXPECT_EQ(ids, (std::vector<std::string>{first, third}));
  Json stored = Json::parse(readFile(configPath()))["tasks"];
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0]["id"], first);
  EXPECT_EQ(stored[1]["id"], third);
}

TEST_F(SchedulerTest, RemovingAnUnknownIdWritesNothing) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  std::string id = scheduler.addDailyTask(1, 0, ScheduledScanType::Quick);
  dir_.write("config/scheduler.json", "sentinel");
  EXPECT_FALSE(scheduler.removeTask(id.substr(0, 35)));
  EXPECT_FALSE(scheduler.removeTask(""));
  EXPECT_EQ(readFile(configPath()), "sentinel");
  EXPECT_EQ(scheduler.getTasks().size(), 1u);
}

TEST_F(SchedulerTest, FailedSaveChangesNothingAndIsReported) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  std::string kept = scheduler.addDailyTask(1, 0, ScheduledScanType::Quick);
  const auto before = scheduler.getTasks();
  blockSaves();
  auto mark = EventLogCapture::instance().mark();

  EXPECT_THROW(scheduler.addDailyTask(2, 0, ScheduledScanType::Quick), std::runtime_error);
  EXPECT_THROW(scheduler.removeTask(kept), std::runtime_error);

  EXPECT_EQ(scheduler.getTasks(), before);
  auto messages = EventLogCapture::instance().messagesSince(mark);
  ASSERT_EQ(messages.size(), 2u);
  for (const std::string& message : messages) {
    EXPECT_EQ(message.rfind("[ERR] Scheduler: no se pudo guardar " + configPath(), 0), 0u)
        << message;
  }
}

TEST_F(SchedulerTest, InitializeReportsAFailedSave) {
  // A name just short of the limit: it can be looked up, but its temporary sibling is too long.
  const std::string path = dir_.str() + "/" + std::string(245, 'a') + ".json";
  auto mark = EventLogCapture::instance().mark();
  Scheduler scheduler(path, clock_);
  EXPECT_FALSE(scheduler.initialize());
  EXPECT_FALSE(std::filesystem::exists(path));
  auto messages = EventLogCapture::instance().messagesSince(mark);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("[ERR] Scheduler: no se pudo guardar " + path, 0), 0u);
}

TEST_F(SchedulerTest, ConfigPathThatIsADirectoryIsLeftAlone) {
  std::filesystem::create_directories(configPath() + "/kept");
  auto mark = EventLogCapture::instance().mark();
  Scheduler scheduler(configPath(), clock_);
  EXPECT_FALSE(scheduler.initialize());
  EXPECT_TRUE(std::filesystem::is_directory(configPath() + "/kept"));
  auto messages = EventLogCapture::instance().messagesSince(mark);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0].rfind("[WRN] Scheduler: no se pudo leer " + configPath(), 0), 0u);
}

TEST_F(SchedulerTest, TasksOutsideTheEnumerationsAreRefused) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  ScheduledTask unknownFrequency;
  unknownFrequency.frequency = static_cast<ScheduleFrequency>(7);
  ScheduledTask unknownScanType;
  unknownScanType.scan_type = static_cast<ScheduledScanType>(-1);
  EXPECT_THROW(scheduler.addTask(unknownFrequency), std::invalid_argument);
  EXPECT_THROW(scheduler.addTask(unknownScanType), std::invalid_argument);
  EXPECT_TRUE(scheduler.getTasks().empty());
  EXPECT_EQ(readFile(configPath()), kEmptyFile);
}

TEST_F(SchedulerTest, AddStopsAtTheTaskLimitButLoadsAFullerFile) {
  Json tasks = Json::array();
  for (std::size_t index = 0; index <= Scheduler::kMaxTasks; ++index) {
    tasks.push_back(storedTask("task-" + std::to_string(index)));
  }
  dir_.write("config/scheduler.json", fileWith(tasks));
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  ASSERT_EQ(scheduler.getTasks().size(), Scheduler::kMaxTasks + 1);
  const std::string stored = readFile(configPath());

  EXPECT_THROW(scheduler.addDailyTask(8, 0, ScheduledScanType::Quick), std::length_error);
  EXPECT_EQ(scheduler.getTasks().size(), Scheduler::kMaxTasks + 1);
  EXPECT_EQ(readFile(configPath()), stored);
  EXPECT_TRUE(scheduler.removeTask("task-0"));
  EXPECT_THROW(scheduler.addDailyTask(8, 0, ScheduledScanType::Quick), std::length_error);
  EXPECT_TRUE(scheduler.removeTask("task-1"));
  EXPECT_NO_THROW(scheduler.addDailyTask(8, 0, ScheduledScanType::Quick));
}

TEST_F(SchedulerTest, ConcurrentAddsAreAllKept) {
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  constexpr int kThreads = 4;
  constexpr int kAddsPerThread = 10;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([&scheduler, thread] {
      for (int add = 0; add < kAddsPerThread; ++add) {
        scheduler.addWeeklyTask(thread, add, 0, ScheduledScanType::Quick);
        scheduler.getTasks();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> ids;
  for (const ScheduledTask& task : scheduler.getTasks()) ids.insert(task.id);
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kThreads * kAddsPerThread));
  Scheduler reread(configPath(), clock_);
  ASSERT_TRUE(reread.initialize());
  EXPECT_EQ(reread.getTasks(), scheduler.getTasks());
}

}  // namespace
}  // namespace norvid
