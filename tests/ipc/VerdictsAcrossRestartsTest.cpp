#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "tests/ipc/CoreFixture.hpp"
#include "tests/support/ReadCounter.hpp"
#include "tests/support/RuleFixtures.hpp"

namespace norvid {
namespace {

using norvid::testing::CoreFixture;
using norvid::testing::ReadCounter;
using norvid::testing::RuleFixtures;

const std::string kMarker = "norvid-marker-one";

// What a directory scan's answer says of the files.
nlohmann::json verdicts(const nlohmann::json& answer) {
  return {answer.value("files_scanned", -1), answer.value("threats_found", -1),
          answer.value("infected_files", nlohmann::json())};
}

TEST(VerdictsAcrossRestartsTest, RestartedServiceAnswersUnchangedTreeWithoutReadingIt) {
  CoreFixture fixture;
  fixture.writeRule("one.yar", RuleFixtures::ruleMatching("R1", kMarker));
  const std::string tree = fixture.root().write("tree/infected.bin", kMarker);
  fixture.root().write("tree/clean.txt", "nothing to see");
  const std::string folder = std::filesystem::path(tree).parent_path().string();
  // Verdicts are kept only for files whose times lie a little before the scan.
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  const nlohmann::json scan = {{"command", "scan"}, {"path", folder}};
  const nlohmann::json first = fixture.call(scan);
  ASSERT_EQ(first.value("status", ""), "ok") << first.dump();
  ASSERT_EQ(first.value("files_scanned", 0), 2) << first.dump();
  ASSERT_EQ(first.value("threats_found", 0), 1) << first.dump();
  fixture.restart();

  ReadCounter counter(folder);
  const nlohmann::json second = fixture.call(scan);
  EXPECT_EQ(verdicts(second), verdicts(first));
  EXPECT_EQ(counter.reads(), 0);

  // A reload of the same rules keeps them; a reload with other rules judges afresh.
  ASSERT_EQ(fixture.call({{"command", "reload_rules"}}).value("status", ""), "ok");
  EXPECT_EQ(verdicts(fixture.call(scan)), verdicts(first));
  EXPECT_EQ(counter.reads(), 0);
  fixture.writeRule("two.yar", RuleFixtures::ruleMatching("R2", "nothing to see"));
  ASSERT_EQ(fixture.call({{"command", "reload_rules"}}).value("status", ""), "ok");
  const nlohmann::json third = fixture.call(scan);
  EXPECT_EQ(third.value("threats_found", 0), 2) << third.dump();
  EXPECT_GT(counter.reads(), 0);
  fixture.restart();
  EXPECT_EQ(verdicts(fixture.call(scan)), verdicts(third));
  EXPECT_EQ(counter.reads(), 0);
}

}  // namespace
}  // namespace norvid
