#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <regex>
#include <set>

#include "platform/AtomicFile.hpp"
#include "platform/RandomId.hpp"
#include "platform/TempFile.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

namespace fs = std::filesystem;

TEST(RandomIdTest, HasTheGroupedHexFormAndVaries) {
  const std::regex form("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    std::string id = generateRandomId();
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(AtomicFileTest, ReplacesWholeFilesAndLeavesTheOldOneOnFailure) {
  norvid::testing::TempDir dir;
  const std::string path = (dir.path() / "config.json").string();
  ASSERT_TRUE(writeFileAtomically(path, "first", fs::perms::owner_read | fs::perms::owner_write));
  ASSERT_TRUE(writeFileAtomically(path, "second", fs::perms::owner_read | fs::perms::owner_write));
  EXPECT_EQ(norvid::testing::readFile(path), "second");
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // A directory standing where the file should go: the rename fails, nothing is left behind.
  const std::string blocked = (dir.path() / "blocked").string();
  fs::create_directories(blocked + "/inside");
  Result<> written = writeFileAtomically(blocked, "x", fs::perms::owner_read);
  EXPECT_FALSE(written);
  EXPECT_NE(written.message().find("rename"), std::string::npos) << written.message();
  std::size_t entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
  EXPECT_EQ(entries, 2u);  // config.json and blocked only

  written =
      writeFileAtomically((dir.path() / "missing/dir/file").string(), "x", fs::perms::owner_read);
  EXPECT_FALSE(written);
  EXPECT_NE(written.message().find("create"), std::string::npos) << written.message();
}

TEST(TempFileTest, CreatesAPrivateEmptyFileInTheTemporaryDirectory) {
  norvid::testing::TempDir dir;
  const char* previous = std::getenv("TMPDIR");
  const std::string saved = previous != nullptr ? previous : "";
  ::setenv("TMPDIR", dir.str().c_str(), 1);
  const std::string path = createTempFile("amsi").value_or("");
  if (previous != nullptr) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_EQ(fs::path(path).parent_path(), dir.path());
  EXPECT_EQ(fs::path(path).filename().string().rfind("amsi", 0), 0u);
  EXPECT_EQ(fs::file_size(path), 0u);
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

}  // namespace
}  // namespace norvid::platform
