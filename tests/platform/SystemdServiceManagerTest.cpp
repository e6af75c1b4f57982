#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/linux/SystemdServiceManager.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

ServiceManager::Definition definition() {
  return {"NorvidCoreService",
          "Norvid Core Service",
          "",
          "/usr/lib/norvid/norvid-core",
          {{"NorvidCoreService.service", "[Service]\nExecStart=/x\n"},
           {"NorvidCoreService.socket", "[Socket]\n"}}};
}

// Installing fails before the manager is asked anything when the unit files cannot be written,
// and says why with the errno of the failed write, not a code of its own.
TEST(SystemdServiceManagerTest, AFailedUnitWriteAnswersItsErrno) {
  testing::TempDir root;
  EXPECT_EQ(
      SystemdServiceManager(root.str() + "/missing").createService(definition()).failure().code,
      ENOENT);
  root.write("file", "");
  EXPECT_EQ(SystemdServiceManager(root.str() + "/file").createService(definition()).failure().code,
            ENOTDIR);
  ServiceManager::Definition empty = definition();
  empty.unitFiles.clear();
  EXPECT_EQ(SystemdServiceManager(root.str()).createService(empty).failure().code, EINVAL);
}

TEST(SystemdServiceManagerTest, AUserWhoIsNotRootGetsPermissionDenied) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  testing::TempDir root;
  ::chmod(root.str().c_str(), 0755);
  pid_t child = ::fork();
  if (child == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) _exit(99);
    const Result<> created = SystemdServiceManager(root.str()).createService(definition());
    _exit(created ? 0 : created.failure().code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), EACCES);
  EXPECT_FALSE(std::filesystem::exists(root.path() / "NorvidCoreService.service"));
}

}  // namespace
}  // namespace norvid::platform
