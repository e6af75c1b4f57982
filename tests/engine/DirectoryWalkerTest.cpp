#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "engine/DirectoryWalker.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::TempDir;

TEST(DirectoryWalkerTest, SubdirectoriesRemovedDuringTheWalkDoNotEndIt) {
  TempDir temp;
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
    temp.write(std::string("tree/") + name + "/one.txt", "1");
    temp.write(std::string("tree/") + name + "/deeper/two.txt", "2");
  }
  const std::string root = temp.str() + "/tree";
  std::set<std::string> seen;
  bool removed = false;
  std::string kept;
  DirectoryWalker(true).walk(root, [&](DirectoryWalker::Visit&& visit) {
    EXPECT_FALSE(visit.verdict.has_value()) << visit.path << ": " << visit.verdict->threat;
    EXPECT_TRUE(visit.file.isOpen()) << visit.path;
    seen.insert(visit.path);
    if (removed) return;
    // At the first file, every other top-level directory but one vanishes.
    removed = true;
    const std::string current = fs::path(visit.path).lexically_relative(root).begin()->string();
    for (const auto& entry : fs::directory_iterator(root)) {
      const std::string name = entry.path().filename().string();
      if (name == current) continue;
      if (kept.empty()) {
        kept = name;
        continue;
      }
      fs::remove_all(entry.path());
    }
  });
  EXPECT_TRUE(seen.count(root + "/" + kept + "/one.txt"));
  EXPECT_TRUE(seen.count(root + "/" + kept + "/deeper/two.txt"));
}

TEST(DirectoryWalkerTest, NonRecursiveWalkListsOnlyDirectFiles) {
  TempDir temp;
  temp.write("tree/top.txt", "1");
  temp.write("tree/sub/below.txt", "2");
  std::set<std::string> seen;
  DirectoryWalker(false).walk(temp.str() + "/tree",
                              [&](DirectoryWalker::Visit&& visit) { seen.insert(visit.path); });
  EXPECT_EQ(seen, std::set<std::string>{temp.str() + "/tree/top.txt"});
}

}  // namespace
}  // namespace norvid
