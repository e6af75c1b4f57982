#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/AllowList.hpp"
#include "engine/Scanner.hpp"
#include "engine/YaraEngine.hpp"
#include "platform/Sha256.hpp"
#include "tests/support/ArchiveFixtures.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/support/TempDir.hpp"

namespace norvid {
namespace {

using norvid::testing::ArchiveFixtures;
using norvid::testing::ArchiveFormat;
using norvid::testing::ArchiveMember;
using norvid::testing::RuleFixtures;
using norvid::testing::TempDir;

TEST(AllowListTest, ReadsRuleAndDigestLinesAndReportsTheRest) {
  TempDir temp;
  const std::string digest(64, 'A');
  temp.write("allow.d/b.conf", "# comment\n\n  rule Noisy_Rule  \r\nsha256 " + digest + "\n");
  temp.write("allow.d/a.conf",
             "rule\nrule two words\nsha256 1234\nallow Something\nrule Feed.Listed-1\n");
  temp.write("allow.d/skipped.conf.bak", "rule Never_Read\n");
  AllowList list;
  const std::vector<AllowList::Problem> problems = list.load(temp.str() + "/allow.d");

  EXPECT_TRUE(list.allowsRule("Noisy_Rule"));
  EXPECT_TRUE(list.allowsRule("Feed.Listed-1"));
  EXPECT_FALSE(list.allowsRule("Never_Read"));
  EXPECT_TRUE(list.allowsDigest(std::string(64, 'a')));
  EXPECT_EQ(list.ruleCount(), 2u);
  EXPECT_EQ(list.digestCount(), 1u);
  ASSERT_EQ(problems.size(), 4u);
  const std::string a = temp.str() + "/allow.d/a.conf";
  const std::vector<std::pair<std::size_t, std::string>> expected = {
      {1, "rule"}, {2, "rule two words"}, {3, "sha256 1234"}, {4, "allow Something"}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(problems[i].file, a);
    EXPECT_EQ(problems[i].line, expected[i].first);
    EXPECT_EQ(problems[i].text, expected[i].second);
  }

  AllowList none;
  EXPECT_TRUE(none.load(temp.str() + "/missing").empty());
  EXPECT_TRUE(none.empty());
}

TEST(AllowListTest, TheEngineDropsAllowedMatchesAndSaysSo) {
  TempDir temp;
  RuleFixtures rules(temp.path() / "rules");
  rules.write("r.yar", RuleFixtures::ruleMatching("Noisy", "noisy-marker") +
                           RuleFixtures::ruleMatching("Real", "real-marker"));
  const std::string both = temp.write("s/both.txt", "noisy-marker real-marker");
  const std::string noisy = temp.write("s/noisy.txt", "noisy-marker");
  const std::string cleared = temp.write("s/cleared.txt", "real-marker, known good");
  const std::string zip = ArchiveFixtures::write(temp.str() + "/s/box.zip", ArchiveFormat::Zip,
                                                 {ArchiveMember::file("in/n.txt", "noisy-marker")});
  temp.write("allow.d/local.conf",
             "rule Noisy\nsha256 " + platform::Sha256::ofText("real-marker, known good") + "\n");
  YaraEngine engine(temp.str() + "/data");
  ASSERT_TRUE(engine.initialize());
  ASSERT_TRUE(engine.loadRulesFromDirectory(rules.str()));
  Scanner scanner(&engine, true, false, nullptr, temp.str() + "/extract", nullptr);
  auto scan = [&](const std::string& path, std::string* out) {
    ::testing::internal::CaptureStdout();
    ScanResult result = scanner.scanFile(path, 0, "");
    *out = ::testing::internal::GetCapturedStdout();
    return result;
  };
  std::string out;
  EXPECT_EQ(scan(noisy, &out).status, ScanStatus::INFECTED) << "nothing allowed before the load";

  engine.loadAllowList(temp.str() + "/allow.d");
  Scanner fresh(&engine, true, false, nullptr, temp.str() + "/extract", nullptr);
  auto scanFresh = [&](const std::string& path, std::string* text) {
    ::testing::internal::CaptureStdout();
    ScanResult result = fresh.scanFile(path, 0, "");
    *text = ::testing::internal::GetCapturedStdout();
    return result;
  };
  ScanResult result = scanFresh(both, &out);
  EXPECT_EQ(result.status, ScanStatus::INFECTED);
  EXPECT_EQ(result.threat, "Real");
  EXPECT_NE(out.find("[INFO] Lista de permitidos: regla Noisy descartada en " + both + "\n"),
            std::string::npos)
      << out;

  EXPECT_EQ(scanFresh(noisy, &out).status, ScanStatus::CLEAN);
  result = scanFresh(cleared, &out);
  EXPECT_EQ(result.status, ScanStatus::CLEAN);
  EXPECT_NE(out.find("[INFO] Lista de permitidos: sha256 " +
                     platform::Sha256::ofText("real-marker, known good") +
                     " permitido, coincidencias descartadas en " + cleared + ": Real\n"),
            std::string::npos)
      << out;
  result = scanFresh(zip, &out);
  EXPECT_EQ(result.status, ScanStatus::CLEAN);
  EXPECT_NE(out.find("regla Noisy descartada en " + zip + "/in/n.txt"), std::string::npos) << out;
}

}  // namespace
}  // namespace norvid
