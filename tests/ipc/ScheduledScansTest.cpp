#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <future>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineSlot.hpp"
#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "ipc/ReportCommands.hpp"
#include "ipc/ScanRegistry.hpp"
#include "ipc/ScheduledScans.hpp"
#include "platform/ThreadPriority.hpp"
#include "scheduler/ScheduleRunner.hpp"
#include "scheduler/Scheduler.hpp"
#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/OpenGate.hpp"
#include "tests/support/ScopedEnvironment.hpp"
#include "tests/support/ScopedTimeZone.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using std::chrono::system_clock;
using testing::readFile;

const char* const kMarkerRule =
    "rule Scheduled_Marker { strings: $a = \"NORVID-SCHEDULED-MARKER\" condition: $a }\n";

// The JSON reports in `dir`, parsed.
std::vector<json> reportsIn(const std::string& dir) {
  std::vector<json> reports;
  if (!fs::exists(dir)) return reports;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".json") reports.push_back(json::parse(readFile(entry.path())));
  }
  return reports;
}

// A stored task as scheduler.json holds it, due long ago (missed while the service was down).
json missedTask(const std::string& id, const std::vector<std::string>& paths) {
  return {{"id", id},           {"enabled", true},       {"frequency", "daily"},
          {"hour", 3},          {"minute", 0},           {"day_of_week", -1},
          {"day_of_month", -1}, {"scan_type", "custom"}, {"scan_paths", paths},
          {"last_run", 0},      {"next_run", 1000}};
}

// The runner over a real engine, report writer and scheduler on an injected clock.
class ScheduledScansTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::EventLogCapture::instance();
    dir_.write("rules/marker.yar", kMarkerRule);
    slot_.engine = std::make_unique<YaraEngine>(dir_.str());
    ASSERT_TRUE(slot_.engine->initialize());
    ASSERT_TRUE(slot_.engine->loadRulesFromDirectory((dir_.path() / "rules").string()));
    slot_.scanner =
        std::make_unique<Scanner>(slot_.engine.get(), true, true, nullptr, dir_.str() + "/extract");
    ASSERT_TRUE(scheduler_.initialize());
  }

  std::string reportsDir() const { return dir_.str() + "/reports"; }

  testing::ScopedTimeZone zone_{"Europe/Madrid"};
  testing::FakeClock clock_{zone_.instant("2025-01-15 07:00:00")};
  testing::TempDir dir_;
  EngineSlot slot_;
  ScanRegistry registry_{"nogroup"};
  ReportCommands reports_{slot_, reportsDir(), &registry_};
  ScheduledScans scans_{reports_, 2};
  Scheduler scheduler_{dir_.str() + "/config/scheduler.json", clock_};
  ScheduleRunner runner_{
      scheduler_,
      [this](const ScheduledTask& task, std::stop_token stop) { scans_.run(task, stop); }, clock_};
};

TEST_F(ScheduledScansTest, DueTaskWritesAReportOfEachPathAndRecordsItsRun) {
  const std::string infected = dir_.write("first/sub/bad.bin", "xx NORVID-SCHEDULED-MARKER");
  dir_.write("first/a.txt", "clean");
  dir_.write("second/b.txt", "clean");
  ScheduledTask task;
  task.frequency = ScheduleFrequency::Daily;
  task.hour = 7;
  task.minute = 2;
  task.scan_type = ScheduledScanType::Custom;
  task.scan_paths = {dir_.str() + "/first", dir_.str() + "/missing", dir_.str() + "/second"};
  const std::string id = scheduler_.addTask(task);

  EXPECT_TRUE(runner_.startDueTasks().empty());
  EXPECT_TRUE(reportsIn(reportsDir()).empty());
  clock_.set(zone_.instant("2025-01-15 07:02:30"));
  ASSERT_EQ(runner_.startDueTasks(), std::vector<std::string>{id});
  runner_.waitUntilIdle();

  std::vector<json> reports = reportsIn(reportsDir());
  ASSERT_EQ(reports.size(), 2u) << "one report per existing path";
  std::sort(reports.begin(), reports.end(),
            [](const json& a, const json& b) { return a.at("target_path") < b.at("target_path"); });
  EXPECT_EQ(reports[0].at("target_path"), dir_.str() + "/first");
  EXPECT_EQ(reports[0].at("scan_type"), "scheduled");
  EXPECT_EQ(reports[0].at("files_scanned"), 2);
  EXPECT_EQ(reports[0].at("threats"), json::array({infected + " | Scheduled_Marker"}));
  EXPECT_EQ(reports[1].at("target_path"), dir_.str() + "/second");
  EXPECT_EQ(reports[1].at("threats_found"), 0);
  for (const json& report : reports) {
    EXPECT_TRUE(
        fs::exists(reportsDir() + "/scan-" + report.at("scan_id").get<std::string>() + ".html"));
  }
  const ScheduledTask stored = scheduler_.getTasks().at(0);
  EXPECT_EQ(zone_.format(stored.last_run), "2025-01-15 07:02:30 +0100");
  EXPECT_EQ(zone_.format(stored.next_run), "2025-01-16 07:02:00 +0100");
}

TEST_F(ScheduledScansTest, ScheduledScanThreadsRunAtIdleCpuAndIoPriority) {
  std::promise<platform::ThreadPriority> judging;
  scans_.pool().submit([&judging] { judging.set_value(platform::currentThreadPriority()); });
  const platform::ThreadPriority judge = judging.get_future().get();
  EXPECT_TRUE(judge.backgroundCpu);
  EXPECT_TRUE(judge.idleIo);

  platform::ThreadPriority walker;
  std::thread runner([&] {
    scans_.run(ScheduledTask{}, {});
    walker = platform::currentThreadPriority();
  });
  runner.join();
  EXPECT_TRUE(walker.backgroundCpu);
  EXPECT_TRUE(walker.idleIo);
  const platform::ThreadPriority own = platform::currentThreadPriority();
  EXPECT_FALSE(own.backgroundCpu) << "only the scheduled scan's threads are lowered";
  EXPECT_FALSE(own.idleIo);
}

// The whole service: a task missed while it was down runs at its start with the real clock,
// listed as "scheduled" with its task, and a cancel ends it with its report marked cancelled.
class ScheduledServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture.writeRule("marker.yar", kMarkerRule);
    fixture.root().write("tree/a.txt", "clean");
    fixture.root().write("tree/b/c.txt", "clean");
    held = fixture.root().write("tree/held.txt", "held");
    tree = fixture.root().str() + "/tree";
  }

  std::string schedulerFile() const { return fixture.paths().schedulerFile(); }

  void writeTasks(const json& tasks) const {
    fs::create_directories(fs::path(schedulerFile()).parent_path());
    fixture.root().write(fs::relative(schedulerFile(), fixture.root().path()).string(),
                         json{{"tasks", tasks}, {"version", "1.0"}}.dump(2));
  }

  // The scheduled scan's record in list_scans, once it shows; null json after a generous bound.
  json waitForScheduledScan() {
    for (int attempt = 0; attempt < 2000; ++attempt) {
      const json list = fixture.sendJson({{"command", "list_scans"}});
      for (const json& record : list.at("scans")) {
        if (record.at("command") == "scheduled") return record;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return json();
  }

  json storedTask() const { return json::parse(readFile(schedulerFile())).at("tasks").at(0); }

  // The stored task once its run is recorded (its last run set), or as it is after a generous
  // bound.
  json taskOnceRunRecorded() const {
    json task;
    for (int attempt = 0; attempt < 2000; ++attempt) {
      task = storedTask();
      if (task.at("last_run") != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return task;
  }

  // The machine running the tests may be busy with other work, which a scan at background
  // priority would wait for; the priority itself is tested above.
  testing::ScopedEnvironment normalPriority{"NORVID_SCHEDULED_PRIORITY", "normal"};
  testing::CoreFixture fixture;
  std::string held;
  std::string tree;
};

TEST_F(ScheduledServiceTest, MissedTaskRunsAtStartIsListedAndCancelled) {
  testing::OpenGate gate(held);
  if (!gate.error().empty()) GTEST_SKIP() << "cannot hold a file's opens: " << gate.error();
  writeTasks(json::array({missedTask("task-missed", {tree, tree})}));
  const std::time_t before = std::time(nullptr);
  fixture.serve();

  const json record = waitForScheduledScan();
  ASSERT_TRUE(record.is_object()) << "the missed task never started";
  EXPECT_EQ(record.at("task_id"), "task-missed");
  EXPECT_EQ(record.at("path"), tree);
  EXPECT_EQ(record.at("uid"), 0);
  const json cancel =
      fixture.sendJson({{"command", "cancel_scan"}, {"scan_id", record.at("scan_id")}});
  EXPECT_EQ(cancel.at("status"), "ok");
  gate.release();

  // The run ends after the cancelled path (the second one is not scanned) and is recorded.
  const json task = taskOnceRunRecorded();
  EXPECT_GE(task.at("last_run").get<std::time_t>(), before);
  EXPECT_GT(task.at("next_run").get<std::time_t>(), std::time(nullptr));
  const std::vector<json> reports = reportsIn(fixture.paths().reportsDir());
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].at("cancelled"), true);
  EXPECT_EQ(reports[0].at("target_path"), tree);
  EXPECT_EQ(fixture.sendJson({{"command", "list_scans"}}).at("scans"), json::array());
}

TEST_F(ScheduledServiceTest, StopDuringARunEndsItAndTheTaskRunsAgainAtTheNextStart) {
  testing::OpenGate gate(held);
  if (!gate.error().empty()) GTEST_SKIP() << "cannot hold a file's opens: " << gate.error();
  writeTasks(json::array({missedTask("task-stopped", {tree, tree})}));
  fixture.serve();
  ASSERT_TRUE(waitForScheduledScan().is_object()) << "the missed task never started";

  // The stop waits for the run, which waits at the held file; the gate opens once the stop is
  // under way (the core no longer runs), so the stop is what ends the run.
  std::thread stopping([this] { fixture.core().stop(); });
  for (int attempt = 0; attempt < 2000 && fixture.core().isRunning(); ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  gate.release();
  stopping.join();
  EXPECT_FALSE(fixture.core().isRunning());
  EXPECT_EQ(storedTask().at("last_run"), 0) << "a run cut short by a stop is not recorded";
  EXPECT_LE(storedTask().at("next_run").get<std::time_t>(), std::time(nullptr))
      << "the file keeps the task due for the next start";
  std::vector<json> reports = reportsIn(fixture.paths().reportsDir());
  ASSERT_EQ(reports.size(), 1u) << "the second path is not scanned after the stop";
  EXPECT_EQ(reports[0].at("cancelled"), true);

  // The next start runs the task again, whole this time.
  const std::time_t before = std::time(nullptr);
  fixture.restart();
  fixture.serve();
  const json task = taskOnceRunRecorded();
  EXPECT_GE(task.at("last_run").get<std::time_t>(), before);
  reports = reportsIn(fixture.paths().reportsDir());
  EXPECT_EQ(reports.size(), 3u);
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(),
                          [](const json& report) { return report.value("cancelled", false); }),
            1);
}

}  // namespace
}  // namespace norvid
