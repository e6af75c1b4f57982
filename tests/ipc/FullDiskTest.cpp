// The service core with its data directory and its reports on small tmpfs mounts: quarantines,
// exclusions, schedules and reports that do not fit fail with an error answer and leave every
// file as it was.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::readFile;

// Writes into `path` until the file system refuses more.
void fillUp(const std::string& path) {
  std::ofstream out(path, std::ios::binary);
  const std::string block(64 * 1024, 'x');
  while (out.write(block.data(), static_cast<std::streamsize>(block.size())) && out.flush()) {
  }
  out.close();
  std::ofstream tail(path + ".tail", std::ios::binary);
  while (tail.put('x') && tail.flush()) {
  }
}

std::vector<std::string> namesIn(const std::string& directory) {
  std::vector<std::string> names;
  std::error_code error;
  for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class FullDiskTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixture = std::make_unique<testing::CoreFixture>();
    dataDir = fixture->paths().dataDir;
    reportsDir = fixture->paths().reportsDir();
    fs::create_directories(reportsDir);
    for (const std::string& directory : {dataDir, reportsDir}) {
      if (::mount("tmpfs", directory.c_str(), "tmpfs", 0, "size=4m,mode=0755") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs on " << directory << ": " << std::strerror(errno)
                     << " (needs root)";
      }
      mounted.push_back(directory);
    }
    fixture->writeRule("marker.yar",
                       "rule marker { strings: $a = \"norvid-marker\" condition: $a }");
  }

  void TearDown() override {
    // The core writes its files once more when it goes; then the mounts can go.
    fixture.reset();
    for (const std::string& directory : mounted) ::umount2(directory.c_str(), MNT_DETACH);
  }

  json call(const json& request) { return fixture->call(request); }

  std::unique_ptr<testing::CoreFixture> fixture;
  std::string dataDir;
  std::string reportsDir;
  std::vector<std::string> mounted;
  testing::TempDir outside;
};

TEST_F(FullDiskTest, WritesThatDoNotFitFailWithAnErrorAndKeepTheOldFiles) {
  ASSERT_EQ(call({{"command", "add_exclusion"}, {"path", "/srv/one"}})["status"], "ok");
  ASSERT_EQ(call({{"command", "add_schedule"},
                  {"frequency", "daily"},
                  {"hour", 3},
                  {"minute", 0},
                  {"scan_type", "quick"}})["status"],
            "ok");
  const std::string exclusionsFile = dataDir + "/config/exclusions.json";
  const std::string scheduleFile = dataDir + "/config/scheduler.json";
  const std::string exclusionsBefore = readFile(exclusionsFile);
  const std::string scheduleBefore = readFile(scheduleFile);
  ASSERT_NE(exclusionsBefore.find("one"), std::string::npos);

  // Larger than the whole file system: refused before a byte is copied.
  const std::string large = outside.write("large.bin", std::string(6 << 20, 'L'));
  json answer = call({{"command", "quarantine_file"}, {"path", large}, {"threat_name", "T"}});
  EXPECT_EQ(answer["status"], "error");
  EXPECT_EQ(answer["error"].get<std::string>().rfind("No se pudo cuarentenar el archivo.", 0), 0u)
      << answer;
  EXPECT_EQ(fs::file_size(large), 6u << 20);
  EXPECT_EQ(namesIn(dataDir + "/Quarantine"), std::vector<std::string>{"metadata.json"});

  fillUp(dataDir + "/filler");
  const std::string small = outside.write("small.bin", std::string(1000, 'S'));
  for (const json& request : {
           json{{"command", "quarantine_file"}, {"path", small}, {"threat_name", "T"}},
           json{{"command", "add_exclusion"}, {"path", "/srv/two"}},
           json{{"command", "remove_exclusion"}, {"path", "/srv/one"}},
           json{{"command", "add_schedule"},
                {"frequency", "weekly"},
                {"hour", 4},
                {"minute", 30},
                {"scan_type", "full"}},
       }) {
    SCOPED_TRACE(request.dump());
    answer = call(request);
    EXPECT_EQ(answer["status"], "error") << answer;
    EXPECT_TRUE(answer.contains("error")) << answer;
  }
  EXPECT_EQ(readFile(small), std::string(1000, 'S'));
  EXPECT_EQ(readFile(exclusionsFile), exclusionsBefore);
  EXPECT_EQ(readFile(scheduleFile), scheduleBefore);
  EXPECT_EQ(call({{"command", "list_exclusions"}})["count"], 1);
  EXPECT_EQ(call({{"command", "list_schedules"}})["count"], 1);
  EXPECT_EQ(namesIn(dataDir + "/Quarantine"), std::vector<std::string>{"metadata.json"});
  EXPECT_EQ(namesIn(dataDir + "/config"),
            (std::vector<std::string>{"exclusions.json", "scheduler.json"}));

  fillUp(reportsDir + "/filler");
  const std::string scanned = outside.write("tree/a.txt", "clean");
  answer = call({{"command", "generate_report"}, {"path", outside.str() + "/tree"}});
  EXPECT_EQ(answer["status"], "error") << answer;
  EXPECT_EQ(namesIn(reportsDir), (std::vector<std::string>{"filler", "filler.tail"}));

  // Once there is room again, the same requests succeed.
  fs::remove(dataDir + "/filler");
  fs::remove(dataDir + "/filler.tail");
  EXPECT_EQ(call({{"command", "add_exclusion"}, {"path", "/srv/two"}})["status"], "ok");
  EXPECT_EQ(call({{"command", "quarantine_file"}, {"path", small}, {"threat_name", "T"}})["status"],
            "ok");
  EXPECT_FALSE(fs::exists(small));
}

}  // namespace
}  // namespace norvid
