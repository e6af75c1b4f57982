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
    Result<FileHandle> handle =
        FileHandle::createExclusively((root.path() / c.path).string(), owner, c.links);
    EXPECT_EQ(handle.ok(), c.created) << handle.message();
    EXPECT_EQ(!handle && handle.failure().code == EEXIST, c.exists);
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
  const Result<> made = createPrivateDirectory(root.write("file", "x"));
  EXPECT_FALSE(made);
  EXPECT_FALSE(made.message().empty());
}

}  // namespace
}  // namespace norvid::platform
