#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/ScanVariables.hpp"
#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using norvid::testing::ArchiveFixtures;
using norvid::testing::ArchiveFormat;
using norvid::testing::ArchiveMember;
using norvid::testing::RuleFixtures;
using norvid::testing::TempDir;

std::string typeOf(const std::string& content) {
  return ScanVariables::fileTypeOf(
      [&content](std::uint64_t offset, unsigned char* buffer, std::size_t size) -> std::size_t {
        if (offset >= content.size()) return 0;
        const std::size_t count = std::min<std::size_t>(size, content.size() - offset);
        std::copy_n(content.data() + offset, count, buffer);
        return count;
      });
}

// A compound file whose root storage has the class `classId` (16 bytes): 512-byte sectors, the
// directory in sector 0.
std::string compoundFileWithClass(const std::string& classId) {
  std::string file(1024, '\0');
  file.replace(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
  file[0x1E] = 9;  // sector size 2^9
  file.replace(0x50 + 512, 16, classId);
  return file;
}

std::string ownerNameOfCurrentUser() {
  const passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr ? entry->pw_name : std::to_string(::geteuid());
}

TEST(ScanVariablesTest, NameFolderAndExtensionComeFromThePath) {
  struct Case {
    std::string path, filename, filepath, extension;
  };
  const std::vector<Case> cases = {
      {"/home/ana/Report.PDF", "Report.PDF", "/home/ana", ".pdf"},
      {"/srv/a.tar.gz", "a.tar.gz", "/srv", ".gz"},
      {"/srv/.bashrc", ".bashrc", "/srv", ""},
      {"/srv/Makefile", "Makefile", "/srv", ""},
      {"/top.txt", "top.txt", "/", ".txt"},
      {"bare.ExE", "bare.ExE", "", ".exe"},
      {"/srv/trailing.", "trailing.", "/srv", "."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    const ScanVariables variables = ScanVariables::forPath(c.path, "ana");
    EXPECT_EQ(variables.filename, c.filename);
    EXPECT_EQ(variables.filepath, c.filepath);
    EXPECT_EQ(variables.extension, c.extension);
    EXPECT_EQ(variables.owner, "ana");
    EXPECT_EQ(variables.filetype, "");
  }
}

TEST(ScanVariablesTest, TypeComesFromTheFirstBytes) {
  const std::string installerClass(
      "\x84\x10\x0C\x00\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 16);
  struct Case {
    const char* name;
    std::string content, type;
  };
  const std::vector<Case> cases = {
      {"pe", "MZ\x90\x00", "EXE"},
      {"elf",
       "\x7F"
       "ELF\x02\x01",
       "ELF"},
      {"zip", "PK\x03\x04", "ZIP"},
      {"pdf", "%PDF-1.7", "PDF"},
      {"rar", "Rar!\x1A\x07", "RAR"},
      {"7z", "7z\xBC\xAF\x27\x1C\x00\x04", "7Z"},
      {"gzip", "\x1F\x8B\x08", "GZIP"},
      {"script", "#!/bin/sh\n", "SCRIPT"},
      {"installer database", compoundFileWithClass(installerClass), "MSI"},
      {"other compound file", compoundFileWithClass(std::string(16, '\x01')), "OLE"},
      {"truncated compound file", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), "OLE"},
      {"text", "hello world", ""},
      {"one byte", "M", ""},
      {"empty", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(typeOf(c.content), c.type);
  }
}

// Each rule can only match through one variable: its condition reads nothing else.
class ScanVariablesScanTest : public ::testing::Test {
 protected:
  ScanVariablesScanTest() : rules(temp.path() / "rules") {}

  // The verdict on `path` under a rule set holding only `condition`, as rule "Var".
  ScanResult verdictUnder(const std::string& condition, const std::string& path) {
    const fs::path directory = temp.path() / ("rules" + std::to_string(++loads));
    RuleFixtures set(directory);
    set.write("var.yar", "rule Var { condition: " + condition + " }\n");
    YaraEngine engine(temp.str() + "/data");
    EXPECT_TRUE(engine.initialize());
    EXPECT_TRUE(engine.loadRulesFromDirectory(set.str()));
    Scanner scanner(&engine, true, false, nullptr, temp.str() + "/extract", nullptr);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    ScanResult result = scanner.scanFile(path, 0, "");
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    return result;
  }

  TempDir temp;
  RuleFixtures rules;
  int loads = 0;
};

TEST_F(ScanVariablesScanTest, RulesSeeTheVariablesOfFilesAndArchiveMembers) {
  const std::string owner = ownerNameOfCurrentUser();
  const std::string file = temp.write("Deep/Folder/Needle.XYZ", "%PDF-1.4 plain content");
  const std::string zip =
      ArchiveFixtures::write(temp.str() + "/box/outer.zip", ArchiveFormat::Zip,
                             {ArchiveMember::directory("inner/"),
                              ArchiveMember::file("inner/Member.Doc", "#!/bin/sh\necho member\n")});
  struct Case {
    const char* name;
    std::string condition;
    std::string path;
    std::string threat;  // empty: CLEAN
  };
  const std::vector<Case> cases = {
      {"filename", "filename == \"Needle.XYZ\"", file, "Var"},
      {"filepath", "filepath == \"" + temp.str() + "/Deep/Folder\"", file, "Var"},
      {"extension", "extension == \".xyz\"", file, "Var"},
      {"filetype", "filetype == \"PDF\"", file, "Var"},
      {"owner", "owner == \"" + owner + "\"", file, "Var"},
      {"another owner", "owner == \"no-such-owner\"", file, ""},
      {"member filename", "filename == \"Member.Doc\"", zip, "Contains: Var"},
      {"member folder lies below its archive", "filepath == \"" + zip + "/inner\"", zip,
       "Contains: Var"},
      {"member extension", "extension == \".doc\"", zip, "Contains: Var"},
      {"member filetype", "filetype == \"SCRIPT\"", zip, "Contains: Var"},
      {"member owner is the archive's", "owner == \"" + owner + "\" and filetype != \"ZIP\"", zip,
       "Contains: Var"},
      {"the archive itself", "filetype == \"ZIP\" and extension == \".zip\"", zip, "Var"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ScanResult result = verdictUnder(c.condition, c.path);
    EXPECT_EQ(result.status, c.threat.empty() ? ScanStatus::CLEAN : ScanStatus::INFECTED);
    EXPECT_EQ(result.threat, c.threat);
  }
}

TEST_F(ScanVariablesScanTest, MemoryScansDefineTheVariablesFromTheirLabel) {
  const fs::path directory = temp.path() / "memory-rules";
  RuleFixtures set(directory);
  set.write("var.yar",
            "rule Var { condition: filename == \"x.sh\" and filetype == \"SCRIPT\" and "
            "owner == \"\" }\n");
  YaraEngine engine(temp.str() + "/data");
  ASSERT_TRUE(engine.initialize());
  ASSERT_TRUE(engine.loadRulesFromDirectory(set.str()));
  const std::string content = "#!/bin/sh\n";
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  EXPECT_EQ(engine.scanMemory(bytes, content.size(), "/t/x.sh"), std::vector<std::string>{"Var"});
  EXPECT_TRUE(engine.scanMemory(bytes, content.size(), "/t/y.sh").empty());
  // A reused scanner never carries the previous file's values.
  EXPECT_EQ(engine.scanMemory(bytes, content.size(), "/t/x.sh"), std::vector<std::string>{"Var"});
}

}  // namespace
}  // namespace norvid
