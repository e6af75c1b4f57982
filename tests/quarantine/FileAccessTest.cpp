#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/FileAccess.hpp"
#include "platform/FileHandle.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t kNobody = 65534;

CallerIdentity localUser(std::uint32_t uid, std::uint32_t gid) {
  CallerIdentity caller;
  caller.known = true;
  caller.uid = uid;
  caller.gid = gid;
  return caller;
}

TEST(FileAccessTest, AllowsExactlyTheCallersThatCouldDeleteTheFile) {
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
      {"group of the connection", 0070, 0, 4242, 0, localUser(kNobody, 4242), true},
      {"group of the account", 0070, 0, kNobody, 0, localUser(kNobody, 4242), true},
      {"group bits decide for a member", 0707, 0, kNobody, 0, localUser(kNobody, kNobody), false},
      {"foreign group", 0070, 0, 4243, 0, localUser(kNobody, 4242), false},
      {"sticky, file of someone else", 01777, 0, 0, 0, localUser(kNobody, kNobody), false},
      {"sticky, own file", 01777, 0, 0, kNobody, localUser(kNobody, kNobody), true},
      {"sticky, own directory", 01770, kNobody, 0, 0, localUser(kNobody, kNobody), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir root;
    std::string file = root.write("dir/victim", "v");
    std::string dir = (root.path() / "dir").string();
    ASSERT_EQ(::chown(file.c_str(), c.fileUid, 0), 0);
    ASSERT_EQ(::chown(dir.c_str(), c.directoryUid, c.directoryGid), 0);
    ASSERT_EQ(::chmod(dir.c_str(), c.directoryMode), 0);
    std::string reason;
    EXPECT_EQ(callerMayDelete(file, c.caller, &reason), c.allowed) << reason;
    EXPECT_EQ(reason.empty(), c.allowed) << reason;
  }
}

TEST(FileAccessTest, RefusesALinkOrAMissingFileEvenInAnOpenDirectory) {
  testing::TempDir root;
  std::string target = root.write("target", "t");
  fs::create_symlink(target, root.path() / "link");
  ASSERT_EQ(::chmod(root.str().c_str(), 0777), 0);
  for (const char* name : {"link", "missing"}) {
    std::string reason;
    EXPECT_FALSE(callerMayDelete((root.path() / name).string(), CallerIdentity{}, &reason)) << name;
    EXPECT_FALSE(reason.empty());
  }
}

TEST(FileAccessTest, CreatesNewFilesOnlyAtTheirExactPath) {
  testing::TempDir root;
  fs::create_directories(root.path() / "real");
  fs::create_directory_symlink(root.path() / "real", root.path() / "link");
  root.write("real/taken", "keep");
  const fs::perms owner = fs::perms::owner_read | fs::perms::owner_write;
  struct Case {
    const char* path;
    DirectoryLinks links;
    bool created;
    bool exists;
  };
  const Case cases[] = {
      {"real/new", DirectoryLinks::Refuse, true, false},
      {"real/taken", DirectoryLinks::Refuse, false, true},
      {"link/through", DirectoryLinks::Refuse, false, false},
      {"link/through", DirectoryLinks::Follow, true, false},
      {"missing/new", DirectoryLinks::Follow, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    bool exists = false;
    std::string error;
    FileHandle handle = FileHandle::createExclusively((root.path() / c.path).string(), owner,
                                                      c.links, &error, &exists);
    EXPECT_EQ(handle.isOpen(), c.created) << error;
    EXPECT_EQ(exists, c.exists);
  }
  EXPECT_EQ(testing::readFile(root.path() / "real/taken"), "keep");
  EXPECT_EQ(fs::status(root.path() / "real/new").permissions(), owner);
}

TEST(FileAccessTest, CreatesThePrivateDirectoryWithItsParents) {
  testing::TempDir root;
  std::string dir = (root.path() / "a/b/store").string();
  ASSERT_TRUE(createPrivateDirectory(dir));
  EXPECT_EQ(fs::status(dir).permissions(), fs::perms::owner_all);
  EXPECT_TRUE(createPrivateDirectory(dir));
  std::string error;
  EXPECT_FALSE(createPrivateDirectory(root.write("file", "x"), &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace norvid::platform
