#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "engine/DirectoryWalker.hpp"
#include "engine/FileCounter.hpp"
#include "tests/support/DirectoryChain.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::DirectoryChain;
using norvid::testing::TempDir;

// Writes a file at `path`, parents created, and returns the path.
std::string writeFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << content;
  return path.string();
}

// Descriptors this process holds now (the listing's own included).
int openDescriptors() {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

// What a walk yielded: the files met (each as often as it was met) and the ERROR verdicts.
struct WalkRecord {
  std::map<std::string, int> files;
  std::map<std::string, std::string> errors;
};

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

TEST(DirectoryWalkerTest, DeepTreesAreWalkedWholeWithABoundedNumberOfDescriptors) {
  TempDir temp;
  const std::string root = temp.str() + "/tree";
  fs::create_directories(root);
  DirectoryChain chain(root, 300);
  std::set<std::string> expected;
  for (const int depth : {1, 10, 15, 16, 17, 40, 150, 250, 256}) {
    expected.insert(chain.write(depth, "a.txt", "a"));
    expected.insert(chain.write(depth, "z.txt", "z"));
  }
  // Side branches whose parents were closed on the way down and must be taken up again.
  for (const int depth : {0, 5, 20, 150}) {
    expected.insert(writeFile(fs::path(chain.pathAt(depth)) / "side" / "inner" / "s.txt", "s"));
  }

  const int before = openDescriptors();
  int mostOpen = 0;
  WalkRecord record;
  DirectoryWalker(true).walk(root, [&](DirectoryWalker::Visit&& visit) {
    mostOpen = std::max(mostOpen, openDescriptors());
    if (visit.verdict) {
      record.errors[visit.path] = visit.verdict->threat;
    } else {
      EXPECT_TRUE(visit.file.isOpen()) << visit.path;
      ++record.files[visit.path];
    }
  });

  std::set<std::string> found;
  for (const auto& [path, times] : record.files) {
    EXPECT_EQ(times, 1) << path;
    found.insert(path);
  }
  EXPECT_EQ(found, expected);
  EXPECT_EQ(record.errors,
            (std::map<std::string, std::string>{
                {chain.pathAt(DirectoryWalker::kMaxDepth + 1), "Directory nesting too deep"}}));
  // The walk's directories, plus the file handed to the visitor: a few, whatever the depth.
  EXPECT_LE(mostOpen - before, DirectoryWalker::kMaxOpenDirectories + 1);
  EXPECT_LE(DirectoryWalker::kMaxOpenDirectories, 32);

  std::atomic<bool> stop{false};
  EXPECT_EQ(FileCounter::count(root, stop), expected.size() + 1);
}

// Names differ from level to level, so that file systems listing in hash order list every level
// in another order.
std::string fileName(char prefix, int depth, int index) {
  return std::string(1, prefix) + std::to_string(depth) + "-" + std::to_string(index);
}

TEST(DirectoryWalkerTest, DirectoryReplacedWhileItWasClosedIsAnErrorAndNotWalked) {
  TempDir temp;
  const fs::path root = temp.path() / "tree";
  // Levels 0 to 8 hold files created before and after their subdirectory, so that whatever
  // order the file system lists them in, some come after it and need the level taken up again.
  fs::path level = root;
  std::vector<fs::path> levels;
  for (int depth = 0; depth < 40; ++depth) {
    levels.push_back(level);
    fs::create_directories(level);
    for (int i = 0; depth <= 8 && i < 4; ++i) writeFile(level / fileName('a', depth, i), "a");
    fs::create_directory(level / "d");
    for (int i = 0; depth <= 8 && i < 4; ++i) writeFile(level / fileName('z', depth, i), "z");
    level /= "d";
  }
  const std::string deepest = writeFile(level / "deepest.txt", "x");
  bool pending = false;
  for (int depth = 2; depth <= 8; ++depth) {
    std::vector<std::string> order;
    for (const auto& entry : fs::directory_iterator(levels[depth])) {
      order.push_back(entry.path().filename().string());
    }
    pending = pending || order.back() != "d";
  }
  if (!pending) GTEST_SKIP() << "this file system lists every subdirectory last";

  const fs::path replaced = levels[2];
  WalkRecord record;
  DirectoryWalker(true).walk(root.string(), [&](DirectoryWalker::Visit&& visit) {
    if (visit.verdict) {
      record.errors[visit.path] = visit.verdict->threat;
      return;
    }
    ++record.files[visit.path];
    if (visit.path != deepest) return;
    // Far below it, level 2 is closed: put another directory in its place.
    fs::rename(replaced, root / "moved");
    writeFile(replaced / "intruder.txt", "i");
  });

  ASSERT_EQ(record.errors.size(), 1u);
  EXPECT_EQ(record.errors.begin()->first, replaced.string());
  EXPECT_NE(record.errors.begin()->second.find("cannot reopen directory"), std::string::npos)
      << record.errors.begin()->second;
  for (const auto& [path, times] : record.files) {
    EXPECT_EQ(path.find("intruder"), std::string::npos);
    EXPECT_EQ(path.find("moved"), std::string::npos);
  }
  // The levels above the replaced one are walked whole.
  for (int depth = 0; depth < 2; ++depth) {
    for (int i = 0; i < 4; ++i) {
      for (const char prefix : {'a', 'z'}) {
        const std::string path = (levels[depth] / fileName(prefix, depth, i)).string();
        EXPECT_EQ(record.files[path], 1) << path;
      }
    }
  }
}

}  // namespace
}  // namespace norvid
