#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "scheduler/ScheduledTaskJson.hpp"

namespace norvid {
namespace {

using Json = nlohmann::json;
using std::chrono::system_clock;

Json validTask() {
  return Json::parse(R"({
    "day_of_month": 31, "day_of_week": 6, "enabled": false, "frequency": "monthly",
    "hour": 23, "id": "0a1b2c3d-0000-0000-0000-000000000000", "last_run": 1700000000,
    "minute": 59, "next_run": 1800000000, "scan_paths": ["/home", "C:\\Users"],
    "scan_type": "custom"})");
}

TEST(ScheduledTaskJsonTest, ReadsEveryField) {
  ScheduledTask task = taskFromJson(validTask());
  EXPECT_EQ(task.id, "0a1b2c3d-0000-0000-0000-000000000000");
  EXPECT_FALSE(task.enabled);
  EXPECT_EQ(task.frequency, ScheduleFrequency::Monthly);
  EXPECT_EQ(task.hour, 23);
  EXPECT_EQ(task.minute, 59);
  EXPECT_EQ(task.day_of_week, 6);
  EXPECT_EQ(task.day_of_month, 31);
  EXPECT_EQ(task.scan_type, ScheduledScanType::Custom);
  EXPECT_EQ(task.scan_paths, (std::vector<std::string>{"/home", "C:\\Users"}));
  EXPECT_EQ(task.last_run, system_clock::from_time_t(1700000000));
  EXPECT_EQ(task.next_run, system_clock::from_time_t(1800000000));
  EXPECT_EQ(taskToJson(task), validTask());
}

TEST(ScheduledTaskJsonTest, WritesWholeSecondsAndEveryWord) {
  for (auto frequency : {ScheduleFrequency::Disabled, ScheduleFrequency::Daily,
                         ScheduleFrequency::Weekly, ScheduleFrequency::Monthly}) {
    for (auto scanType :
         {ScheduledScanType::Quick, ScheduledScanType::Full, ScheduledScanType::Custom}) {
      ScheduledTask task = taskFromJson(validTask());
      task.frequency = frequency;
      task.scan_type = scanType;
      task.last_run += std::chrono::milliseconds(999);
      Json stored = taskToJson(task);
      EXPECT_EQ(stored["last_run"], 1700000000);
      ScheduledTask reread = taskFromJson(stored);
      EXPECT_EQ(reread.frequency, frequency);
      EXPECT_EQ(reread.scan_type, scanType);
    }
  }
}

TEST(ScheduledTaskJsonTest, ValuesOutsideTheEnumerationsLeaveTheirKeyOut) {
  ScheduledTask task;
  task.frequency = static_cast<ScheduleFrequency>(9);
  task.scan_type = static_cast<ScheduledScanType>(-2);
  Json stored = taskToJson(task);
  EXPECT_FALSE(stored.contains("frequency"));
  EXPECT_FALSE(stored.contains("scan_type"));
  EXPECT_EQ(stored.size(), 9u);
}

struct NumberCase {
  const char* key;
  Json value;
  long long expected;
};

void PrintTo(const NumberCase& c, std::ostream* out) { *out << c.key << " = " << c.value.dump(); }

class NumberReadTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberReadTest, ConvertsLikeTheFileFormatSays) {
  Json object = validTask();
  object[GetParam().key] = GetParam().value;
  ScheduledTask task = taskFromJson(object);
  const std::string key = GetParam().key;
  long long actual = key == "hour"           ? task.hour
                     : key == "minute"       ? task.minute
                     : key == "day_of_week"  ? task.day_of_week
                     : key == "day_of_month" ? task.day_of_month
                                             : system_clock::to_time_t(task.next_run);
  EXPECT_EQ(actual, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Numbers, NumberReadTest,
                         ::testing::Values(NumberCase{"hour", 7.9, 7}, NumberCase{"hour", -7.9, -7},
                                           NumberCase{"hour", true, 1},
                                           NumberCase{"minute", false, 0},
                                           NumberCase{"day_of_week", 2147483647, 2147483647},
                                           NumberCase{"day_of_month", -2147483648LL, -2147483648LL},
                                           NumberCase{"next_run", 1.5e9 + 0.75, 1500000000},
                                           NumberCase{"next_run", -86400, -86400}));

struct RejectCase {
  const char* name;
  const char* key;
  Json value;
};

void PrintTo(const RejectCase& c, std::ostream* out) { *out << c.name; }

class RejectTest : public ::testing::TestWithParam<RejectCase> {};

TEST_P(RejectTest, ConversionFails) {
  Json object = validTask();
  object[GetParam().key] = GetParam().value;
  EXPECT_THROW(taskFromJson(object), std::exception);
}

INSTANTIATE_TEST_SUITE_P(
    Values, RejectTest,
    ::testing::Values(RejectCase{"id_number", "id", 5}, RejectCase{"id_null", "id", nullptr},
                      RejectCase{"enabled_number", "enabled", 1},
                      RejectCase{"frequency_capitalised", "frequency", "Daily"},
                      RejectCase{"frequency_number", "frequency", 1},
                      RejectCase{"scan_type_unknown", "scan_type", "deep"},
                      RejectCase{"hour_text", "hour", "8"},
                      RejectCase{"hour_past_32_bits", "hour", 2147483648LL},
                      RejectCase{"hour_huge_fraction", "hour", 1e12},
                      RejectCase{"minute_null", "minute", nullptr},
                      RejectCase{"last_run_boolean", "last_run", true},
                      RejectCase{"next_run_text", "next_run", "0"},
                      RejectCase{"next_run_past_the_clock", "next_run", 1e19},
                      RejectCase{"next_run_unsigned_huge", "next_run", 18446744073709551615ULL},
                      RejectCase{"scan_paths_not_a_list", "scan_paths", "C:\\"},
                      RejectCase{"scan_paths_with_a_number", "scan_paths", Json::array({"a", 1})}),
    [](const ::testing::TestParamInfo<RejectCase>& info) { return info.param.name; });

TEST(ScheduledTaskJsonTest, EveryKeyButTheScanPathsIsRequired) {
  const Json complete = validTask();
  for (const auto& [key, value] : complete.items()) {
    Json object = validTask();
    object.erase(key);
    if (key == "scan_paths") {
      EXPECT_TRUE(taskFromJson(object).scan_paths.empty());
    } else {
      EXPECT_THROW(taskFromJson(object), Json::out_of_range) << key;
    }
  }
  EXPECT_THROW(taskFromJson(Json::array()), Json::exception);
}

}  // namespace
}  // namespace norvid
