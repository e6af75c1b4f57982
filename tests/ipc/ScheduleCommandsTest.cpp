#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "ipc/ScheduleCommands.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/ScopedTimeZone.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

using Json = nlohmann::json;
using testing::FakeClock;
using testing::readFile;
using testing::ScopedTimeZone;
using testing::TempDir;

std::string errorText(const std::string& message) {
  return R"({"error":")" + message + R"(","status":"error"})";
}

class ScheduleCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(scheduler_.initialize()); }

  std::string configPath() const { return dir_.str() + "/scheduler.json"; }

  // Adds through the handler and returns the new id (empty when the answer was not a success).
  std::string add(const std::string& frequency, int hour, int minute, const std::string& scanType) {
    Json response = Json::parse(commands_.handleAddSchedule(frequency, hour, minute, scanType));
    return response.value("status", "") == "ok" ? response["task_id"].get<std::string>() : "";
  }

  ScopedTimeZone zone_{"Europe/Madrid"};
  FakeClock clock_{zone_.instant("2025-01-19 10:00:00")};  // a Sunday
  TempDir dir_;
  Scheduler scheduler_{configPath(), clock_};
  ScheduleCommands commands_{&scheduler_};
};

TEST(ScheduleCommandsWithoutSchedulerTest, EveryHandlerAnswersTheSameError) {
  ScheduleCommands commands(nullptr);
  EXPECT_EQ(commands.handleAddSchedule("daily", 8, 0, "quick"),
            errorText("Scheduler no inicializado"));
  EXPECT_EQ(commands.handleListSchedules(), errorText("Scheduler no inicializado"));
  EXPECT_EQ(commands.handleRemoveSchedule("x"), errorText("Scheduler no inicializado"));
}

TEST_F(ScheduleCommandsTest, AddDailyAnswersTheNewId) {
  std::string response = commands_.handleAddSchedule("daily", 8, 0, "quick");
  auto tasks = scheduler_.getTasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(response, R"({"command":"add_schedule","message":"Tarea programada agregada )"
                      R"(exitosamente","status":"ok","task_id":")" +
                          tasks[0].id + R"("})");
  EXPECT_EQ(tasks[0].id.size(), 36u);
  EXPECT_EQ(tasks[0].frequency, ScheduleFrequency::Daily);
  EXPECT_EQ(tasks[0].day_of_week, -1);
  EXPECT_EQ(zone_.format(tasks[0].next_run), "2025-01-20 08:00:00 +0100");
  EXPECT_NE(readFile(configPath()).find(tasks[0].id), std::string::npos);
}

TEST_F(ScheduleCommandsTest, AddWeeklyRunsOnSunday) {
  std::string id = add("weekly", 10, 30, "quick");
  ASSERT_FALSE(id.empty());
  auto tasks = scheduler_.getTasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].frequency, ScheduleFrequency::Weekly);
  EXPECT_EQ(tasks[0].day_of_week, 0);
  EXPECT_EQ(zone_.format(tasks[0].next_run), "2025-01-19 10:30:00 +0100");

  Json listed = Json::parse(commands_.handleListSchedules())["tasks"][0];
  EXPECT_EQ(listed["frequency"], "weekly");
  EXPECT_EQ(listed["hour"], 10);
  EXPECT_EQ(listed["minute"], 30);
}

class RefusedFrequencyTest : public ScheduleCommandsTest,
                             public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedFrequencyTest, NothingIsStored) {
  EXPECT_EQ(commands_.handleAddSchedule(GetParam(), 8, 0, "quick"),
            errorText(std::string("Frecuencia no soportada: ") + GetParam()));
  EXPECT_TRUE(scheduler_.getTasks().empty());
  EXPECT_EQ(Json::parse(readFile(configPath()))["tasks"], Json::array());
}

INSTANTIATE_TEST_SUITE_P(Words, RefusedFrequencyTest,
                         ::testing::Values("monthly", "Daily", "disabled", "", "weekly "));

struct ScanTypeCase {
  const char* word;
  ScheduledScanType expected;
  std::size_t pathCount;
};

void PrintTo(const ScanTypeCase& c, std::ostream* out) { *out << '"' << c.word << '"'; }

class ScanTypeWordTest : public ScheduleCommandsTest,
                         public ::testing::WithParamInterface<ScanTypeCase> {};

TEST_P(ScanTypeWordTest, OnlyExactWordsChooseFullOrCustom) {
  ASSERT_FALSE(add("daily", 8, 0, GetParam().word).empty());
  auto tasks = scheduler_.getTasks();
  ASSERT_EQ(tasks.size(), 1u);
  EXPECT_EQ(tasks[0].scan_type, GetParam().expected);
  EXPECT_EQ(tasks[0].scan_paths.size(), GetParam().pathCount);
}

INSTANTIATE_TEST_SUITE_P(Words, ScanTypeWordTest,
                         ::testing::Values(ScanTypeCase{"full", ScheduledScanType::Full, 1},
                                           ScanTypeCase{"custom", ScheduledScanType::Custom, 0},
                                           ScanTypeCase{"quick", ScheduledScanType::Quick, 5},
                                           ScanTypeCase{"Full", ScheduledScanType::Quick, 5},
                                           ScanTypeCase{"", ScheduledScanType::Quick, 5}));

TEST_F(ScheduleCommandsTest, ListWithoutTasks) {
  EXPECT_EQ(commands_.handleListSchedules(),
            R"({"command":"list_schedules","count":0,"status":"ok","tasks":[]})");
}

TEST_F(ScheduleCommandsTest, ListShowsTheSummaryOfEveryTaskInOrder) {
  // Monthly and disabled tasks only come from the file.
  dir_.write("scheduler.json", R"({"tasks": [
    {"id": "m", "enabled": true, "frequency": "monthly", "hour": 6, "minute": 5,
     "day_of_week": -1, "day_of_month": 31, "scan_type": "full", "last_run": 0, "next_run": 0},
    {"id": "d", "enabled": false, "frequency": "disabled", "hour": 0, "minute": 0,
     "day_of_week": -1, "day_of_month": -1, "scan_type": "custom", "last_run": 0,
     "next_run": 0}], "version": "1.0"})");
  Scheduler scheduler(configPath(), clock_);
  ASSERT_TRUE(scheduler.initialize());
  ScheduleCommands commands(&scheduler);
  std::string id = Json::parse(commands.handleAddSchedule("daily", 23, 45, "quick"))["task_id"];

  EXPECT_EQ(
      commands.handleListSchedules(),
      R"({"command":"list_schedules","count":3,"status":"ok","tasks":[)"
      R"({"enabled":true,"frequency":"monthly","hour":6,"id":"m","minute":5,"scan_type":"full"},)"
      R"({"enabled":false,"frequency":"disabled","hour":0,"id":"d","minute":0,"scan_type":"custom"},)"
      R"({"enabled":true,"frequency":"daily","hour":23,"id":")" +
          id + R"(","minute":45,"scan_type":"quick"}]})");
}

TEST_F(ScheduleCommandsTest, RemoveTwice) {
  std::string id = add("daily", 8, 0, "quick");
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(
      commands_.handleRemoveSchedule(id),
      R"({"command":"remove_schedule","message":"Tarea eliminada exitosamente","status":"ok"})");
  EXPECT_EQ(commands_.handleRemoveSchedule(id),
            errorText("No se pudo eliminar la tarea (no existe)"));
  EXPECT_TRUE(scheduler_.getTasks().empty());
}

TEST_F(ScheduleCommandsTest, FailedSavesAreAnsweredAsErrors) {
  std::string kept = add("daily", 8, 0, "quick");
  ASSERT_FALSE(kept.empty());
  std::filesystem::remove(configPath());
  std::filesystem::create_directories(configPath() + "/blocker");

  Json added = Json::parse(commands_.handleAddSchedule("weekly", 9, 0, "full"));
  EXPECT_EQ(added["status"], "error");
  EXPECT_EQ(
      added["error"].get<std::string>().rfind("Error al agregar tarea: no se pudo guardar ", 0), 0u)
      << added;
  Json removed = Json::parse(commands_.handleRemoveSchedule(kept));
  EXPECT_EQ(removed["status"], "error");
  EXPECT_EQ(removed["error"].get<std::string>().rfind("Error al eliminar tarea: ", 0), 0u)
      << removed;

  Json listed = Json::parse(commands_.handleListSchedules());
  EXPECT_EQ(listed["count"], 1);
  EXPECT_EQ(listed["tasks"][0]["id"], kept);
}

TEST_F(ScheduleCommandsTest, HourBeyondTheCalendarIsAnsweredAsAnError) {
  Json response = Json::parse(commands_.handleAddSchedule("daily", 2'000'000'000, 0, "quick"));
  EXPECT_EQ(response["status"], "error");
  EXPECT_EQ(response["error"].get<std::string>().rfind("Error al agregar tarea: ", 0), 0u);
  EXPECT_TRUE(scheduler_.getTasks().empty());
}

TEST_F(ScheduleCommandsTest, ScanPathsReplaceTheDefaultsOfAnyScanType) {
  struct PathsCase {
    const char* scanType;
    std::optional<std::vector<std::string>> requested;
    std::vector<std::string> stored;
  };
  const PathsCase cases[] = {
      {"custom", std::vector<std::string>{"/srv/data", "/home/ana"}, {"/srv/data", "/home/ana"}},
      {"full", std::vector<std::string>{"/mnt"}, {"/mnt"}},
      {"quick", std::nullopt, {"/home", "/root", "/tmp", "/var/tmp", "/opt"}},
      {"full", std::nullopt, {"/"}},
      {"custom", std::nullopt, {}},
  };
  for (const PathsCase& c : cases) {
    SCOPED_TRACE(c.scanType);
    Json response =
        Json::parse(commands_.handleAddSchedule("weekly", 9, 0, c.scanType, c.requested));
    ASSERT_EQ(response["status"], "ok") << response;
    EXPECT_EQ(response.size(), 4u) << "the answer is unchanged";
    EXPECT_EQ(scheduler_.getTasks().back().scan_paths, c.stored);
    Json stored = Json::parse(readFile(configPath()))["tasks"].back();
    EXPECT_EQ(stored["scan_paths"], Json(c.stored));
  }
}

TEST_F(ScheduleCommandsTest, BadScanPathsAreRefusedAndNothingIsStored) {
  struct BadCase {
    std::vector<std::string> paths;
    const char* error;
  };
  const BadCase cases[] = {
      {{}, "scan_paths está vacío: indique al menos una ruta absoluta"},
      {{"/srv", "relative/dir"}, "Ruta no absoluta en scan_paths: relative/dir"},
      {{""}, "Ruta no absoluta en scan_paths: "},
      {{"/" + std::string(4096, 'a')},
       "Ruta no válida en scan_paths: más de 4096 bytes o un byte nulo"},
      {{std::string("/a\0b", 4)}, "Ruta no válida en scan_paths: más de 4096 bytes o un byte nulo"},
      {std::vector<std::string>(65, "/srv"), "scan_paths admite como máximo 64 rutas"},
  };
  for (const BadCase& c : cases) {
    EXPECT_EQ(commands_.handleAddSchedule("daily", 8, 0, "custom", c.paths), errorText(c.error));
  }
  EXPECT_TRUE(scheduler_.getTasks().empty());
}

}  // namespace
}  // namespace norvid
