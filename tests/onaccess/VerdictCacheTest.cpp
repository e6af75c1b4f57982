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

TEST(VerdictCacheTest, ACloseAfterWritingForgetsACleanVerdictButNotAThreat) {
  VerdictCache cache(8, seconds(60));
  const auto now = VerdictCache::Clock::now();
  cache.remember(identity(1, 10, 10), Known::Clean, now);
  cache.remember(identity(2, 10, 10), Known::Threat, now);
  cache.forgetClean(identity(1, 10, 10));
  cache.forgetClean(identity(2, 10, 10));
  EXPECT_EQ(cache.lookup(identity(1, 10, 10), now), Known::Nothing);
  EXPECT_EQ(cache.lookup(identity(2, 10, 10), now), Known::Threat);
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

TEST(VerdictCacheTest, ACleanVerdictIsKeptOnlyForAnUnchangedSettledFileNobodyWrites) {
  constexpr std::int64_t kSecond = 1'000'000'000;
  const std::int64_t scanStart = 100 * kSecond;
  const platform::FileStatus settled = identity(1, 90 * kSecond, 90 * kSecond);
  platform::FileStatus grown = settled;
  grown.size += 1;
  platform::FileStatus otherFile = settled;
  otherFile.inode = 2;
  const struct {
    const char* what;
    platform::FileStatus atEvent, afterAnswer;
    bool writableElsewhere, kept;
  } cases[] = {
      {"settled and untouched", settled, settled, false, true},
      {"open for writing or mapped shared", settled, settled, true, false},
      {"written during the scan", settled, identity(1, 100 * kSecond, 100 * kSecond), false, false},
      {"grown during the scan", settled, grown, false, false},
      {"another file under the name", settled, otherFile, false, false},
      {"renamed or chmod during the scan", settled, identity(1, 90 * kSecond, 99 * kSecond), false,
       false},
      {"written within the granularity", identity(1, 99 * kSecond, 99 * kSecond),
       identity(1, 99 * kSecond, 99 * kSecond), false, false},
      {"status changed within the granularity", identity(1, 50 * kSecond, 99 * kSecond),
       identity(1, 50 * kSecond, 99 * kSecond), false, false},
      {"unknown identity", platform::FileStatus{}, platform::FileStatus{}, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VerdictCache::keepsClean(c.atEvent, c.afterAnswer, scanStart, c.writableElsewhere),
              c.kept)
        << c.what;
  }
}

}  // namespace
}  // namespace norvid::onaccess
