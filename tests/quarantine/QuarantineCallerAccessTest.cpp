#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/CallerIdentity.hpp"
#include "quarantine/QuarantineManager.hpp"
#include "tests/support/EventLogCapture.hpp"
#include "tests/support/LocalUser.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kNobody = 65534;

using testing::localUser;

class QuarantineCallerAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "acting with another user's identity needs root";
    ASSERT_EQ(::chmod(root.str().c_str(), 0755), 0);
  }

  // Quarantines `file` for `caller`; true when the file went into the store.
  bool quarantineAs(const std::string& file, const CallerIdentity& caller) {
    QuarantineManager store((root.path() / "store").string());
    return !store.quarantineFile(file, "Test.Threat", "YARA", caller).empty();
  }

  testing::TempDir root;
};

// The kernel decides for the caller: a file goes only when the caller could delete it itself.
TEST_F(QuarantineCallerAccessTest, TakesExactlyTheFilesTheCallerCouldDelete) {
  struct Case {
    const char* name;
    mode_t directoryMode;
    uid_t directoryUid;
    gid_t directoryGid;
    uid_t fileUid;
    CallerIdentity caller;
    bool allowed;
  };
  const Case cases[] = {
      {"connection without identity", 0755, 0, 0, 0, CallerIdentity{}, true},
      {"root", 0755, 0, 0, 0, localUser(0, 0), true},
      {"others may not write", 0755, 0, 0, kNobody, localUser(kNobody, kNobody), false},
      {"others may write and search", 0777, 0, 0, 0, localUser(kNobody, kNobody), true},
      {"write without search", 0776, 0, 0, 0, localUser(kNobody, kNobody), false},
      {"owner of the directory", 0700, kNobody, 0, 0, localUser(kNobody, kNobody), true},
      {"owner bits decide for the owner", 0577, kNobody, 0, 0, localUser(kNobody, kNobody), false},
      {"group of the connection", 0075, 0, 4242, 0, localUser(kNobody, 4242), true},
      {"supplementary group", 0075, 0, 4243, 0, localUser(kNobody, 4242, {4243}), true},
      {"group bits decide for a member", 0707, 0, kNobody, 0, localUser(kNobody, kNobody), false},
      {"foreign group", 0075, 0, 4243, 0, localUser(kNobody, 4242), false},
      {"sticky, file of someone else", 01777, 0, 0, 0, localUser(kNobody, kNobody), false},
      {"sticky, own file", 01777, 0, 0, kNobody, localUser(kNobody, kNobody), true},
      {"sticky, own directory", 01770, kNobody, 0, 0, localUser(kNobody, kNobody), true},
  };
  testing::EventLogCapture& log = testing::EventLogCapture::instance();
  const std::size_t mark = log.mark();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path dir = root.path() / c.name;
    const std::string file = root.write(std::string(c.name) + "/victim", "v");
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_EQ(::chown(file.c_str(), c.fileUid, 0), 0);
    ASSERT_EQ(::chown(dir.c_str(), c.directoryUid, c.directoryGid), 0);
    ASSERT_EQ(::chmod(dir.c_str(), c.directoryMode), 0);
    EXPECT_EQ(quarantineAs(file, c.caller), c.allowed);
    EXPECT_EQ(fs::exists(file), !c.allowed);
  }
  int refusals = 0;
  for (const std::string& line : log.messagesSince(mark)) {
    if (line.rfind("[ERR] Cuarentena rechazada: acceso denegado para uid 65534 sobre", 0) == 0) {
      ++refusals;
    }
  }
  // Four refusals are logged; the two files the caller cannot even reach are answered as missing.
  EXPECT_EQ(refusals, 4);
}

TEST_F(QuarantineCallerAccessTest, UnreachableParentsAndAclsKeepTheFile) {
  // An open directory below one the caller cannot search.
  const std::string hidden = root.write("private/open/victim", "v");
  ASSERT_EQ(::chmod((root.path() / "private").c_str(), 0700), 0);
  ASSERT_EQ(::chmod((root.path() / "private/open").c_str(), 0777), 0);
  EXPECT_FALSE(quarantineAs(hidden, localUser(kNobody, kNobody)));
  EXPECT_TRUE(fs::exists(hidden));

  // A world-writable directory whose access list denies the caller writing.
  const std::string denied = root.write("acl/victim", "v");
  const std::string aclDir = (root.path() / "acl").string();
  ASSERT_EQ(::chmod(aclDir.c_str(), 0777), 0);
  if (std::system(("setfacl -m u:65534:r-x '" + aclDir + "' 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "setfacl (package acl) is needed for the access-list case";
  }
  EXPECT_FALSE(quarantineAs(denied, localUser(kNobody, kNobody)));
  EXPECT_TRUE(fs::exists(denied));
  // The same directory still lets root take it.
  EXPECT_TRUE(quarantineAs(denied, localUser(0, 0)));
}

}  // namespace
}  // namespace norvid
