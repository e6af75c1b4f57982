#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>

#include "engine/FileCounter.hpp"
#include "engine/Scanner.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

TEST(FileCounterTest, CountsWhatTheScanJudges) {
  TempDir temp;
  const fs::path root = temp.path() / "tree";
  temp.write("tree/a.txt", "a");
  temp.write("tree/sub/b.txt", "b");
  temp.write("tree/sub/deeper/c.txt", "c");
  temp.write("tree/empty/.keep", "");
  const std::string elsewhere = temp.write("elsewhere/hidden.txt", "h");
  fs::create_directory_symlink(temp.path() / "elsewhere", root / "linked-dir");
  fs::create_symlink(elsewhere, root / "linked-file");
  fs::create_symlink(temp.path() / "nowhere", root / "dangling");
  fs::create_directories(root / "chain");
  fs::path deep = root / "chain";
  for (int level = 0; level < 260; ++level) deep /= "d";
  fs::create_directories(deep);

  std::atomic<bool> stop{false};
  Scanner scanner(nullptr, false, false, nullptr, nullptr);
  ::testing::internal::CaptureStderr();
  const std::size_t judged = scanner.scanDirectory(root.string(), true).size();
  ::testing::internal::GetCapturedStderr();
  // a, b, c, .keep, the file link, the dangling link and the too-deep directory.
  EXPECT_EQ(judged, 7u);
  EXPECT_EQ(FileCounter::count(root.string(), stop), judged);

  stop = true;
  EXPECT_EQ(FileCounter::count(root.string(), stop), std::nullopt);
}

}  // namespace
}  // namespace norvid
