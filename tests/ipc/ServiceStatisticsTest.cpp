#include "ipc/ServiceStatistics.hpp"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tests/support/LocalUser.hpp"

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

// Every local user may scan, so the users whose own last events are kept are bounded: the one
// idle longest makes room, and the others keep theirs.
TEST(ServiceStatisticsTest, KeepsTheOwnLastEventsOfABoundedNumberOfUsers) {
  ServiceStatistics statistics;
  const std::uint32_t first = 10000;
  const auto users = static_cast<std::uint32_t>(ServiceStatistics::kMaxUsersKept);
  for (std::uint32_t uid = first; uid < first + users; ++uid) {
    statistics.recordScan("/home/" + std::to_string(uid), testing::localUser(uid, uid));
  }
  // The first user scans again, so the second is now the one idle longest.
  statistics.recordScan("/home/first-again", testing::localUser(first, first));
  statistics.recordScan("/home/newcomer", testing::localUser(first + users, first + users));

  auto lastScanOf = [&](std::uint32_t uid) {
    nlohmann::json status;
    statistics.addTo(status, ServiceStatistics::Scope::Own, testing::localUser(uid, uid));
    return status["last_scan_path"].get<std::string>();
  };
  EXPECT_EQ(lastScanOf(first), "/home/first-again");
  EXPECT_EQ(lastScanOf(first + 1), "") << "forgotten to make room";
  EXPECT_EQ(lastScanOf(first + 2), "/home/" + std::to_string(first + 2));
  EXPECT_EQ(lastScanOf(first + users), "/home/newcomer");
  nlohmann::json all;
  statistics.addTo(all, ServiceStatistics::Scope::Everyone, testing::localUser(first, first));
  EXPECT_EQ(all["last_scan_path"], "/home/newcomer");
  EXPECT_EQ(all["total_scans"], users + 2);
}

}  // namespace
}  // namespace norvid
