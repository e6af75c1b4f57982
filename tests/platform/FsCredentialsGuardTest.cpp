#include "platform/FsCredentialsGuard.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <utility>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/LocalUser.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

constexpr std::uint32_t kNobody = 65534;

CallerIdentity nobody() { return testing::localUser(kNobody, kNobody); }

// The calling thread's fsuid, from the kernel's own view of the thread.
long threadFsUid() {
  std::ifstream status("/proc/thread-self/status");
  std::string key;
  while (status >> key) {
    if (key == "Uid:") {
      long real, effective, saved, fs;
      status >> real >> effective >> saved >> fs;
      return fs;
    }
  }
  return -1;
}

bool canOpen(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

class FsCredentialsGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "switching file-system identity needs root";
    ::chmod(dir.str().c_str(), 0755);
    secret = dir.write("secret.txt", "root only");
    ::chmod(secret.c_str(), 0600);
  }

  testing::TempDir dir;
  std::string secret;
};

TEST_F(FsCredentialsGuardTest, CallerSeesOnlyWhatTheKernelAllowsIt) {
  {
    FsCredentialsGuard guard(nobody());
    EXPECT_EQ(threadFsUid(), kNobody);
    EXPECT_FALSE(canOpen(secret));
    {
      // The service's own files are written as root inside a caller's work.
      FsCredentialsGuard service(CallerIdentity::service());
      EXPECT_EQ(threadFsUid(), 0);
      EXPECT_TRUE(canOpen(secret));
    }
    EXPECT_EQ(threadFsUid(), kNobody);
    EXPECT_FALSE(canOpen(secret));
  }
  EXPECT_EQ(threadFsUid(), 0);
  EXPECT_TRUE(canOpen(secret));
}

TEST_F(FsCredentialsGuardTest, SupplementaryGroupGrantsAccess) {
  ::chown(secret.c_str(), 0, 4242);
  ::chmod(secret.c_str(), 0640);
  CallerIdentity member = nobody();
  member.groups = {4242};
  {
    FsCredentialsGuard guard(member);
    EXPECT_TRUE(canOpen(secret));
  }
  FsCredentialsGuard guard(nobody());
  EXPECT_FALSE(canOpen(secret));
}

TEST_F(FsCredentialsGuardTest, RestoresRootWhenTheStepThrows) {
  EXPECT_THROW(
      {
        FsCredentialsGuard guard(nobody());
        throw std::runtime_error("a failed step");
      },
      std::runtime_error);
  EXPECT_EQ(threadFsUid(), 0);
  EXPECT_TRUE(canOpen(secret));
}

TEST_F(FsCredentialsGuardTest, OtherThreadsKeepTheirIdentity) {
  // The other thread exists before the switch (a new thread would inherit the creator's identity).
  std::promise<void> switched;
  std::promise<std::pair<long, bool>> seen;
  std::thread other([&] {
    switched.get_future().wait();
    seen.set_value({threadFsUid(), canOpen(secret)});
  });
  FsCredentialsGuard guard(nobody());
  switched.set_value();
  const auto [otherThreadUid, otherThreadOpens] = seen.get_future().get();
  other.join();
  EXPECT_EQ(otherThreadUid, 0);
  EXPECT_TRUE(otherThreadOpens);
  EXPECT_FALSE(canOpen(secret));
}

}  // namespace
}  // namespace norvid::platform
