#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/FsCredentialsGuard.hpp"
#include "platform/JsonFileStore.hpp"
#include "tests/support/FakeClock.hpp"
#include "tests/support/LocalUser.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid::platform {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Outcome = JsonFileStore::Outcome;
using Fault = JsonFileStore::Fault;

const fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;
const fs::perms kShared = kOwnerOnly | fs::perms::group_read | fs::perms::others_read;

void writeRaw(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> namesIn(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(JsonFileStoreTest, ReadTellsMissingReadAndUnreadableApart) {
  struct Case {
    const char* name;
    const char* content;  // nullptr: no file; "/": a directory in its place
    Outcome outcome;
    Fault fault;
  };
  const Case cases[] = {
      {"missing", nullptr, Outcome::Missing, Fault::None},
      {"empty", "", Outcome::Unreadable, Fault::Parse},
      {"bad JSON", "{\"tasks\": [", Outcome::Unreadable, Fault::Parse},
      {"directory", "/", Outcome::Unreadable, Fault::Read},
      {"good", "{\"entries\": [1, 2]}", Outcome::Read, Fault::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    norvid::testing::TempDir dir;
    const std::string path = (dir.path() / "store.json").string();
    if (c.content != nullptr && std::string(c.content) == "/") {
      fs::create_directory(path);
    } else if (c.content != nullptr) {
      writeRaw(path, c.content);
    }
    const JsonFileStore::Reading reading = JsonFileStore(path, kShared).read();
    EXPECT_EQ(reading.outcome, c.outcome);
    EXPECT_EQ(reading.fault, c.fault);
    EXPECT_EQ(reading.reason.empty(), c.fault == Fault::None) << reading.reason;
    if (c.outcome == Outcome::Read) {
      EXPECT_EQ(reading.text, c.content);
      EXPECT_EQ(reading.document, json::parse(c.content));
    }
  }
}

TEST(JsonFileStoreTest, SavesIndentedTextWithTheGivenMode) {
  norvid::testing::TempDir dir;
  const json document{{"b", {1, 2}}, {"a", "x"}};
  for (const fs::perms mode : {kOwnerOnly, kShared}) {
    const std::string path = (dir.path() / "store.json").string();
    JsonFileStore store(path, mode);
    ASSERT_TRUE(store.save(document));
    EXPECT_EQ(norvid::testing::readFile(path), document.dump(2));
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, mode);
    fs::remove(path);
  }
}

TEST(JsonFileStoreTest, KeepsAnUnreadableFileAsideOnlyWhenTheNextSaveIsMade) {
  norvid::testing::TempDir dir;
  const std::string path = (dir.path() / "store.json").string();
  writeRaw(path, "{not json");
  norvid::testing::FakeClock clock(std::chrono::system_clock::from_time_t(1700000000));
  JsonFileStore store(path, kShared, 2, clock);
  ASSERT_EQ(store.read().outcome, Outcome::Unreadable);
  store.keepAsideOnNextSave(true);

  // Neither reading again nor a save that cannot even be serialised touches the file.
  EXPECT_EQ(store.read().outcome, Outcome::Unreadable);
  std::string problem;
  std::string movedAside = "stale";
  EXPECT_FALSE(store.save(json{{"value", "\xff"}}, &problem, &movedAside));
  EXPECT_FALSE(problem.empty());
  EXPECT_TRUE(movedAside.empty());
  EXPECT_TRUE(store.keepsAsideOnNextSave());
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"store.json"});

  // The first save that is made moves it aside under the clock's seconds, then writes.
  const std::string aside = path + ".corrupt-1700000000";
  writeRaw(aside, "an older one");
  ASSERT_TRUE(store.save(json{{"value", 1}}, &problem, &movedAside));
  EXPECT_EQ(movedAside, aside + "-1");
  EXPECT_EQ(norvid::testing::readFile(aside + "-1"), "{not json");
  EXPECT_EQ(norvid::testing::readFile(aside), "an older one");
  EXPECT_EQ(store.read().document, json({{"value", 1}}));
  EXPECT_FALSE(store.keepsAsideOnNextSave());

  // Later saves only replace the file.
  ASSERT_TRUE(store.save(json{{"value", 2}}, &problem, &movedAside));
  EXPECT_TRUE(movedAside.empty());
  EXPECT_EQ(namesIn(dir.path()),
            (std::vector<std::string>{"store.json", "store.json.corrupt-1700000000",
                                      "store.json.corrupt-1700000000-1"}));
}

TEST(JsonFileStoreTest, AFailedSaveLeavesTheOldFileWhole) {
  if (::geteuid() != 0) GTEST_SKIP() << "switching to uid 65534 needs root";
  norvid::testing::TempDir dir;
  fs::permissions(dir.path(),
                  kShared | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec);
  const std::string path = (dir.path() / "store.json").string();
  const std::string old = json{{"value", "old"}}.dump(2);
  writeRaw(path, old);
  JsonFileStore store(path, kShared);

  std::string problem;
  bool saved = true;
  {
    // As nobody the directory is read-only: the temporary file cannot be created.
    FsCredentialsGuard asNobody(norvid::testing::localUser(65534, 65534));
    saved = store.save(json{{"value", "new"}}, &problem);
  }
  EXPECT_FALSE(saved);
  EXPECT_NE(problem.find("create"), std::string::npos) << problem;
  EXPECT_EQ(norvid::testing::readFile(path), old);
  EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"store.json"});
}

}  // namespace
}  // namespace norvid::platform
