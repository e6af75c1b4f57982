#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

#include "engine/FileCounter.hpp"
#include "engine/Scanner.hpp"
#include "tests/support/DirectoryChain.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using testing::DirectoryChain;
using testing::TempDir;

// Descriptors this process holds now.
rlim_t openDescriptors() {
  rlim_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

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
  Scanner scanner(nullptr, false, false, nullptr, temp.str() + "/extract", nullptr);
  ::testing::internal::CaptureStderr();
  const std::size_t judged = scanner.scanDirectory(root.string(), true).size();
  ::testing::internal::GetCapturedStderr();
  // a, b, c, .keep, the file link, the dangling link and the too-deep directory.
  EXPECT_EQ(judged, 7u);
  EXPECT_EQ(FileCounter::count(root.string(), stop), judged);

  stop = true;
  EXPECT_EQ(FileCounter::count(root.string(), stop), std::nullopt);
}

TEST(FileCounterTest, CountsADeepTreeWithFewDescriptorsToSpare) {
  TempDir temp;
  const std::string root = temp.str() + "/tree";
  fs::create_directories(root);
  DirectoryChain chain(root, 400);
  std::uint64_t expected = 1;  // the level below the nesting limit
  for (const int depth : {3, 30, 150, 250}) {
    for (const char* name : {"a", "b", "c"}) {
      chain.write(depth, name, name);
      ++expected;
    }
  }

  // Counted in a child whose descriptor limit leaves room for a few dozen more, far fewer than the
  // tree has levels.
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipe[0]);
    const rlim_t limit = openDescriptors() + 40;
    const rlimit tight{limit, limit};
    if (::setrlimit(RLIMIT_NOFILE, &tight) != 0) ::_exit(2);
    std::atomic<bool> stop{false};
    const std::uint64_t counted = FileCounter::count(root, stop).value_or(0);
    ::_exit(::write(pipe[1], &counted, sizeof counted) == sizeof counted ? 0 : 3);
  }
  ::close(pipe[1]);
  std::uint64_t counted = 0;
  const ssize_t got = ::read(pipe[0], &counted, sizeof counted);
  ::close(pipe[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(got, static_cast<ssize_t>(sizeof counted));
  EXPECT_EQ(counted, expected);
}

}  // namespace
}  // namespace norvid
