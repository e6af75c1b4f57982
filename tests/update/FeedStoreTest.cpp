#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempDir.hpp"
#include "update/FeedStore.hpp"

namespace norvid::update {
namespace {

namespace fs = std::filesystem;

class FeedStoreTest : public ::testing::Test {
 protected:
  std::string install(const std::string& stamp, const std::string& content) {
    auto staging = store.createStaging();
    EXPECT_TRUE(staging) << staging.message();
    std::ofstream(*staging + "/rules.yar") << content;
    auto version = store.promote(*staging, stamp);
    EXPECT_TRUE(version) << version.message();
    auto activated = store.activate(*version);
    EXPECT_TRUE(activated) << activated.message();
    return *version;
  }
  std::string currentContent() { return testing::readFile(store.currentPath() + "/rules.yar"); }

  testing::TempDir dir;
  FeedStore store{dir.str(), "core"};
};

TEST_F(FeedStoreTest, KeepsCurrentAndPreviousOnly) {
  EXPECT_FALSE(store.currentVersion());
  const std::string first = install("20260101T000000Z", "one");
  EXPECT_EQ(store.currentVersion(), first);
  EXPECT_FALSE(store.previousVersion());

  const std::string second = install("20260102T000000Z", "two");
  const std::string third = install("20260103T000000Z", "three");
  EXPECT_EQ(store.currentVersion(), third);
  EXPECT_EQ(store.previousVersion(), second);
  EXPECT_EQ(currentContent(), "three");
  EXPECT_FALSE(fs::exists(store.root() + "/" + first));
  EXPECT_TRUE(fs::is_symlink(store.currentPath()));
  EXPECT_EQ(fs::read_symlink(store.currentPath()).string(), third);  // relative: movable data dir

  ASSERT_TRUE(store.rollback());
  EXPECT_EQ(store.currentVersion(), second);
  EXPECT_EQ(store.previousVersion(), third);
  EXPECT_EQ(currentContent(), "two");
}

TEST_F(FeedStoreTest, SameStampGetsItsOwnFolder) {
  const std::string first = install("20260101T000000Z", "one");
  const std::string second = install("20260101T000000Z", "two");
  EXPECT_NE(first, second);
  EXPECT_EQ(currentContent(), "two");
}

TEST_F(FeedStoreTest, RollbackWithoutPreviousFails) {
  install("20260101T000000Z", "one");
  auto rolled = store.rollback();
  ASSERT_FALSE(rolled);
  EXPECT_NE(rolled.message().find("no previous version"), std::string::npos);
  EXPECT_EQ(currentContent(), "one");
}

TEST_F(FeedStoreTest, LeftoversOfADeadRunAreRemoved) {
  const std::string kept = install("20260101T000000Z", "one");
  auto staging = store.createStaging();
  ASSERT_TRUE(staging);
  fs::create_directory(store.root() + "/v19990101T000000Z");
  store.removeLeftovers();
  EXPECT_FALSE(fs::exists(*staging));
  EXPECT_FALSE(fs::exists(store.root() + "/v19990101T000000Z"));
  EXPECT_TRUE(fs::exists(store.root() + "/" + kept));
}

TEST_F(FeedStoreTest, StateRoundTripsAndAnUnreadableFileGivesTheEmptyState) {
  FeedState state;
  state.url = "https://x";
  state.etag = "\"abc\"";
  state.rules = 12;
  state.setAside.push_back({"bad.yar", "line 2: syntax error"});
  ASSERT_TRUE(store.writeState(state));
  FeedState read = store.readState();
  EXPECT_EQ(read.etag, "\"abc\"");
  EXPECT_EQ(read.rules, 12);
  ASSERT_EQ(read.setAside.size(), 1u);
  EXPECT_EQ(read.setAside[0].message, "line 2: syntax error");

  std::ofstream(store.root() + "/state.json") << "{ not json";
  EXPECT_EQ(store.readState().etag, "");
}

}  // namespace
}  // namespace norvid::update
