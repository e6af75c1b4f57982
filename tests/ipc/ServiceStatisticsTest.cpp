#include "ipc/ServiceStatistics.hpp"

#include <gtest/gtest.h>

#include <utility>

namespace norvid {
namespace {

TEST(ServiceStatisticsTest, UptimeIsFormattedInDaysHoursAndMinutes) {
  const std::pair<std::int64_t, const char*> cases[] = {
      {0, "0h 0m"},        {59, "0h 0m"},       {3725, "1h 2m"},       {86399, "23h 59m"},
      {86400, "1d 0h 0m"}, {90061, "1d 1h 1m"}, {200000, "2d 7h 33m"},
  };
  for (const auto& [seconds, text] : cases) {
    EXPECT_EQ(ServiceStatistics::formatUptime(seconds), text) << seconds;
  }
}

}  // namespace
}  // namespace norvid
