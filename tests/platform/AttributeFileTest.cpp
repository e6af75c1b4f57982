#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "platform/AttributeFile.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

using testing::TempDir;

TEST(AttributeFileTest, ReadsWholeSmallFilesAndNamesTheFailingStep) {
  TempDir dir;
  dir.write("value", "1\n");
  dir.write("big", std::string(5000, 'x'));
  dir.write("folder/inside", "");
  const std::string file = dir.write("file", "x");
  struct Case {
    std::string path;
    std::size_t limit;
    int openError;
    int readError;
    std::string content;
  };
  const std::vector<Case> cases = {
      {dir.str() + "/value", 64, 0, 0, "1\n"},
      {dir.str() + "/big", 8192, 0, 0, std::string(5000, 'x')},
      {dir.str() + "/big", 4999, 0, EFBIG, ""},
      {dir.str() + "/missing", 64, ENOENT, 0, ""},
      {file + "/below", 64, ENOTDIR, 0, ""},
      {dir.str() + "/folder", 64, 0, EISDIR, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    AttributeRead read = readAttributeFile(c.path, c.limit);
    EXPECT_EQ(read.openError, c.openError);
    EXPECT_EQ(read.readError, c.readError);
    EXPECT_EQ(read.content, c.content);
    EXPECT_EQ(read.ok(), c.openError == 0 && c.readError == 0);
  }
}

TEST(AttributeFileTest, WritesOnlyIntoFilesThatExist) {
  TempDir dir;
  const std::string value = dir.write("authorized", "1\n");
  EXPECT_TRUE(writeAttributeFile(value, "0\n").ok());
  EXPECT_EQ(testing::readFile(value), "0\n");

  EXPECT_EQ(writeAttributeFile(dir.str() + "/missing", "0\n").failure().code, ENOENT);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
  dir.write("folder/inside", "");
  EXPECT_EQ(writeAttributeFile(dir.str() + "/folder", "0\n").failure().code, EISDIR);
}

}  // namespace
}  // namespace norvid::platform
