// The ways around the watcher that a user of a watched, world-writable directory could take, each
// played on the test's own tmpfs: the infected file ends quarantined or its start denied. (A
// change through a shared mapping and a scan without an answer are played against a stand-in
// service in OnAccessWatcherTest.)
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/onaccess/OnAccessFixture.hpp"

namespace norvid::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr unsigned kExecutable = 0755;

// Starts of an infected file end one of these ways: denied by the watcher, or the file is gone
// (quarantined) by the time it is started.
bool startDenied(const RunOutcome& ran) {
  return ran.startError == EPERM || ran.startError == ENOENT;
}

class OnAccessBypassTest : public OnAccessFixture {
 protected:
  void requireNames() {
    if (!namesRefused().empty()) {
      GTEST_SKIP() << "the kernel does not report new names on this tmpfs: " << namesRefused();
    }
  }
  // Writes `content` to `path` through a descriptor that stays open; the caller closes it.
  static int writeAndKeepOpen(const std::string& path, const std::string& content) {
    const int descriptor = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(descriptor, 0) << path << ": " << std::strerror(errno);
    EXPECT_EQ(::write(descriptor, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    return descriptor;
  }
};

// Written clean, rewritten infected at once, and the folder swapped for a link to a decoy before
// the rescan: the verdict on the decoy must not be taken for the infected file.
TEST_F(OnAccessBypassTest, AVerdictIsKeptOnlyForTheFileThatWasScanned) {
  ASSERT_TRUE(startService());
  ASSERT_TRUE(startWatcher({"--block-exec", "--verdict-timeout", "30"}));
  fs::create_directories(watched() + "/decoy");
  fs::create_directories(watched() + "/d");
  writeFile(watched() + "/decoy/run.sh", "#!/bin/sh\nexit 42\n", kExecutable);
  writeFile(watched() + "/d/run.sh", "#!/bin/sh\nexit 42\n", kExecutable);
  std::this_thread::sleep_for(milliseconds(50));
  writeFile(watched() + "/d/run.sh", eicar(), kExecutable);
  fs::rename(watched() + "/d", watched() + "/d.real");
  fs::create_directory_symlink(watched() + "/decoy", watched() + "/d");

  // Whatever the watcher scanned meanwhile, the infected file never runs.
  const std::string real = watched() + "/d.real/run.sh";
  std::this_thread::sleep_for(milliseconds(600));
  EXPECT_TRUE(startDenied(runProgram(real))) << watcher()->errors();
  EXPECT_TRUE(startDenied(runProgram(real))) << watcher()->errors();
  EXPECT_EQ(runProgram(watched() + "/decoy/run.sh").exitCode, 42);
}

// A second name made while the file was open for writing, the first removed before the close.
TEST_F(OnAccessBypassTest, AFileLinkedToANewNameBeforeItsCloseIsScannedUnderThatName) {
  requireNames();
  ASSERT_TRUE(startService());
  ASSERT_TRUE(startWatcher({}));
  const std::string first = watched() + "/first.txt";
  const std::string second = watched() + "/second.com";
  const int descriptor = writeAndKeepOpen(first, eicar());
  ASSERT_EQ(::link(first.c_str(), second.c_str()), 0);
  ASSERT_EQ(::unlink(first.c_str()), 0);
  ::close(descriptor);
  EXPECT_TRUE(eventually([&] { return !fs::exists(second); }, seconds(20)))
      << watcher()->output() << watcher()->errors();
}

// Written with no name at all (O_TMPFILE) and given one afterwards: once after its close, once
// while still open for writing.
TEST_F(OnAccessBypassTest, AFileWrittenWithoutANameIsScannedWhenItGetsOne) {
  requireNames();
  ASSERT_TRUE(startService());
  ASSERT_TRUE(startWatcher({}));
  for (const bool closeFirst : {true, false}) {
    const std::string target =
        watched() + (closeFirst ? "/linked-after-close.com" : "/linked-while-open.com");
    const int writer = ::open(watched().c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
    if (writer < 0 && errno == EOPNOTSUPP) GTEST_SKIP() << "no O_TMPFILE on this tmpfs";
    ASSERT_GE(writer, 0) << std::strerror(errno);
    ASSERT_EQ(::write(writer, eicar().data(), eicar().size()),
              static_cast<ssize_t>(eicar().size()));
    const std::string self = "/proc/self/fd/" + std::to_string(writer);
    int holder = writer;
    if (closeFirst) {
      holder = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(holder, 0);
      ::close(writer);
    }
    const std::string via = "/proc/self/fd/" + std::to_string(holder);
    ASSERT_EQ(::linkat(AT_FDCWD, via.c_str(), AT_FDCWD, target.c_str(), AT_SYMLINK_FOLLOW), 0)
        << std::strerror(errno);
    ::close(holder);
    EXPECT_TRUE(eventually([&] { return !fs::exists(target); }, seconds(20)))
        << target << "\n"
        << watcher()->output() << watcher()->errors();
  }
}

// Moved in from a folder the watcher does not look at, on the same file system.
TEST_F(OnAccessBypassTest, AFileRenamedIntoAWatchedFolderIsScanned) {
  requireNames();
  ASSERT_TRUE(startService());
  ASSERT_TRUE(startWatcher({"--exclude", watched() + "/outside"}));
  fs::create_directories(watched() + "/outside");
  fs::create_directories(watched() + "/inside");
  writeFile(watched() + "/outside/parcel.com", eicar(), 0644);
  writeFile(watched() + "/outside/clean.txt", "nothing here\n", 0644);
  // Written before: the writes there are not looked at.
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_TRUE(fs::exists(watched() + "/outside/parcel.com"));
  fs::rename(watched() + "/outside/parcel.com", watched() + "/inside/parcel.com");
  fs::rename(watched() + "/outside/clean.txt", watched() + "/inside/clean.txt");
  EXPECT_TRUE(eventually([&] { return !fs::exists(watched() + "/inside/parcel.com"); }))
      << watcher()->output() << watcher()->errors();
  EXPECT_TRUE(fs::exists(watched() + "/inside/clean.txt"));
}

// More closes than the kernel queues while the watcher reads nothing, the infected file last:
// its event is lost, and the walk for changed files finds it.
TEST_F(OnAccessBypassTest, AFileWhoseEventWasLostInAnOverflowIsFoundAndQuarantined) {
  ASSERT_TRUE(startService());
  ASSERT_TRUE(startWatcher({}));
  ASSERT_TRUE(overflowKernelQueue([&] { writeFile(watched() + "/late.com", eicar(), 0644); }));

  EXPECT_TRUE(eventually([&] { return !fs::exists(watched() + "/late.com"); }, seconds(30)))
      << watcher()->output() << watcher()->errors();
  // The walk goes on past the infected file through the rest of the folder, and says it is over
  // only when it ends uninterrupted: wait for that before stopping the watcher.
  EXPECT_TRUE(eventually(
      [&] { return watcher()->output().find("[INFO] Recuperación: ") != std::string::npos; },
      seconds(30)))
      << watcher()->output();
  watcher()->signal(SIGTERM);
  ASSERT_TRUE(watcher()->waitForExit(seconds(30)).has_value());
}

}  // namespace
}  // namespace norvid::testing
