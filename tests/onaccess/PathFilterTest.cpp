#include <gtest/gtest.h>

#include "onaccess/PathFilter.hpp"

namespace norvid::onaccess {
namespace {

TEST(PathFilterTest, CoversWatchedSubtreesOutsideExclusions) {
  PathFilter filter({"/home", "/tmp/"}, {"/home/ann/.cache", "/tmp/build/"});
  const std::vector<std::pair<std::string, bool>> cases = {
      {"/home/ann/file", true},
      {"/home", true},
      {"/tmp/x", true},
      {"/homework/file", false},
      {"/home/ann/.cache/blob", false},
      {"/home/ann/.cache", false},
      {"/home/ann/.cachedir/blob", true},
      {"/tmp/build/a.o", false},
      {"/tmp/builder/a.o", true},
      {"/usr/bin/true", false},
      {"", false},
  };
  for (const auto& [path, covered] : cases) EXPECT_EQ(filter.covers(path), covered) << path;
}

TEST(PathFilterTest, RootWatchesEverything) {
  PathFilter filter({"/"}, {"/proc"});
  EXPECT_TRUE(filter.covers("/etc/passwd"));
  EXPECT_FALSE(filter.covers("/proc/1/status"));
  EXPECT_FALSE(filter.covers("relative"));
}

}  // namespace
}  // namespace norvid::onaccess
