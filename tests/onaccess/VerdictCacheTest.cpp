#include <gtest/gtest.h>

#include "onaccess/VerdictCache.hpp"

namespace norvid::onaccess {
namespace {

using Known = VerdictCache::Known;
using std::chrono::seconds;

platform::FileStatus identity(std::uint64_t inode, std::int64_t modified, std::int64_t changed) {
  platform::FileStatus status;
  status.device = 7;
  status.inode = inode;
  status.size = 100;
  status.modifiedNs = modified;
  status.changedNs = changed;
  return status;
}

TEST(VerdictCacheTest, ACleanVerdictHoldsOnlyForTheSameVersion) {
  VerdictCache cache(8, seconds(60));
  const auto now = VerdictCache::Clock::now();
  cache.remember(identity(1, 10, 10), Known::Clean, now);
  EXPECT_EQ(cache.lookup(identity(1, 10, 10), now), Known::Clean);
  EXPECT_EQ(cache.lookup(identity(1, 11, 11), now), Known::Nothing);  // written
  EXPECT_EQ(cache.lookup(identity(1, 10, 12), now), Known::Nothing);  // chmod, chown, rename
  EXPECT_EQ(cache.lookup(identity(2, 10, 10), now), Known::Nothing);
  EXPECT_EQ(cache.lookup(identity(1, 10, 10), now + seconds(60)), Known::Nothing);
}

TEST(VerdictCacheTest, AThreatSurvivesAModeChangeButNotAWrite) {
  VerdictCache cache(8, seconds(60));
  const auto now = VerdictCache::Clock::now();
  cache.remember(identity(1, 10, 10), Known::Threat, now);
  EXPECT_EQ(cache.lookup(identity(1, 10, 12), now), Known::Threat);
  EXPECT_EQ(cache.lookup(identity(1, 11, 11), now), Known::Nothing);
}

TEST(VerdictCacheTest, StaysBounded) {
  VerdictCache cache(2, seconds(60));
  const auto now = VerdictCache::Clock::now();
  cache.remember(identity(1, 1, 1), Known::Clean, now);
  cache.remember(identity(2, 1, 1), Known::Clean, now);
  cache.remember(identity(3, 1, 1), Known::Clean, now);
  EXPECT_EQ(cache.lookup(identity(1, 1, 1), now), Known::Nothing);
  EXPECT_EQ(cache.lookup(identity(3, 1, 1), now), Known::Clean);
}

}  // namespace
}  // namespace norvid::onaccess
