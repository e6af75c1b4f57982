#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/FileLock.hpp"
#include "tests/support/RuleFixtures.hpp"
#include "tests/update/FeedServer.hpp"
#include "tests/update/UpdaterFixture.hpp"

namespace norvid::testing {
namespace {

namespace fs = std::filesystem;

using File = ArchiveMember;

class NorvidUpdateTest : public UpdaterFixture {
 protected:
  void SetUp() override {
    fs::create_directories(www());
    publish("core.zip", {File::file("a.yar", rule("alpha", "AAAA")),
                         File::file("dir/b.yara", rule("beta", "BBBB"))});
  }
  void configureSigned(const std::string& url, const std::string& extra = "") const {
    configure("core", "url = " + url + "\nminisign_key = " + keys.publicKey() + "\n" + extra);
  }
};

TEST_F(NorvidUpdateTest, InstallsOverHttpsAndAnUnchangedFeedCostsOneSmallRequest) {
  FeedServer::makeCertificate(dir.str());
  FeedServer server(www(), dir.str() + "/cert.pem", dir.str() + "/key.pem");
  configureSigned(server.url("/core.zip"), "ca_file = " + dir.str() + "/cert.pem\n");

  Run first = update();
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  EXPECT_NE(first.out.find("core: installed"), std::string::npos) << first.out;
  EXPECT_NE(first.out.find("the service is not running"), std::string::npos) << first.out;
  const std::string version = currentVersion("core");
  EXPECT_EQ(currentFiles("core"),
            "a.yar=" + rule("alpha", "AAAA") + "\ndir_b.yara=" + rule("beta", "BBBB") +
                "\nversion.json=" + readFile(feedFolder("core") + "/current/version.json") + "\n");
  EXPECT_EQ(state("core")["rules"], 2);
  const std::string stateText = readFile(feedFolder("core") + "/state.json");

  Run second = update();
  ASSERT_EQ(second.status, 0) << second.out << second.err;
  EXPECT_NE(second.out.find("core: unchanged"), std::string::npos) << second.out;
  EXPECT_EQ(currentVersion("core"), version);
  EXPECT_EQ(readFile(feedFolder("core") + "/state.json"), stateText);
  // The bundle was asked for twice, the second time with its ETag; the signature only once.
  EXPECT_EQ(server.requestsFor("/core.zip "), 2);
  EXPECT_EQ(server.requestsFor("/core.zip.minisig"), 1);
  EXPECT_EQ(server.requestsFor("/core.zip \""), 1);
}

TEST_F(NorvidUpdateTest, EveryFailedCheckExitsOneAndKeepsDetectionAsItWas) {
  configureSigned(fileUrl("core.zip"));
  ASSERT_EQ(update().status, 0);
  const std::string version = currentVersion("core");
  const std::string files = currentFiles("core");
  publish("next.zip", {File::file("c.yar", rule("gamma", "CCCC"))});
  fs::copy_file(www() + "/next.zip", www() + "/tampered.zip");
  fs::copy_file(www() + "/next.zip.minisig", www() + "/tampered.zip.minisig");
  std::ofstream(www() + "/tampered.zip", std::ios::app) << "x";
  fs::copy_file(www() + "/next.zip", www() + "/unsigned.zip");
  MinisignKeys other(dir.str(), "other");
  fs::copy_file(www() + "/next.zip", www() + "/otherkey.zip");
  other.sign(www() + "/otherkey.zip");

  FeedServer server(www());
  struct Case {
    std::string config;
    std::string message;
  };
  const std::string key = "minisign_key = " + keys.publicKey() + "\n";
  const Case cases[] = {
      {"url = " + fileUrl("tampered.zip") + "\n" + key, "does not match the bundle"},
      {"url = " + fileUrl("otherkey.zip") + "\n" + key, "key id differs"},
      {"url = " + fileUrl("unsigned.zip") + "\n" + key, "signature: file://"},
      {"url = " + fileUrl("next.zip") + "\nsha256 = " + std::string(64, '0') + "\n",
       "does not match the pin"},
      {"url = " + fileUrl("next.zip") + "\nmax_size = 100\n" + key, "larger than max_size"},
      {"url = http://127.0.0.1:1/next.zip\ninsecure = yes\n", "cannot connect"},
      {"url = " + server.url("/truncated/next.zip") + "\ninsecure = yes\n", "cut short"},
      {"url = " + server.url("/status/503") + "\ninsecure = yes\n", "HTTP 503"},
  };
  for (const Case& c : cases) {
    configure("core", c.config);
    Run run = update();
    EXPECT_EQ(run.status, 1) << c.config << run.out << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.config << run.err;
    EXPECT_NE(run.err.find("the installed version stays"), std::string::npos) << run.err;
    EXPECT_EQ(currentVersion("core"), version) << c.config;
    EXPECT_EQ(currentFiles("core"), files) << c.config;
    EXPECT_NE(state("core")["last_error"].get<std::string>().find(c.message), std::string::npos);
  }
  // Nothing is left behind in the feed's folder but the installed version.
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(feedFolder("core"))) ++entries;
  EXPECT_EQ(entries, 3) << "the version, current and state.json";
}

TEST_F(NorvidUpdateTest, ABrokenRuleFileIsSetAsideAndShownByStatus) {
  publish("core.zip", {File::file("good.yar", rule("good", "GOOD")),
                       File::file("broken.yar", RuleFixtures::brokenRule()),
                       File::file("z-clash.yar", rule("good", "AGAIN"))});
  configureSigned(fileUrl("core.zip"));
  Run run = update();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("1 rules, 2 files set aside"), std::string::npos) << run.out;
  EXPECT_TRUE(fs::exists(feedFolder("core") + "/current/good.yar"));
  EXPECT_FALSE(fs::exists(feedFolder("core") + "/current/broken.yar"));
  EXPECT_TRUE(fs::exists(feedFolder("core") + "/current/set-aside/broken.yar"));

  Run status = update({"--status"});
  ASSERT_EQ(status.status, 0);
  EXPECT_NE(status.out.find("set aside:     2"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("broken.yar: broken.yar:2:"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("z-clash.yar: together with the files before it"), std::string::npos)
      << status.out;
  Run json = update({"--status", "--json"});
  auto document = nlohmann::json::parse(json.out);
  ASSERT_EQ(document.size(), 1u);
  EXPECT_EQ(document[0]["name"], "core");
  EXPECT_EQ(document[0]["rules"], 1);
  EXPECT_EQ(document[0]["set_aside"].size(), 2u);

  // A bundle with nothing usable is not installed.
  const std::string version = currentVersion("core");
  publish("core.zip", {File::file("broken.yar", RuleFixtures::brokenRule())});
  Run broken = update();
  EXPECT_EQ(broken.status, 1);
  EXPECT_NE(broken.err.find("nothing usable in the bundle"), std::string::npos) << broken.err;
  EXPECT_EQ(currentVersion("core"), version);
}

TEST_F(NorvidUpdateTest, ANewVersionThenRollbackThatSticks) {
  configureSigned(fileUrl("core.zip"));
  ASSERT_EQ(update().status, 0);
  const std::string first = currentVersion("core");
  const std::string firstFiles = currentFiles("core");
  publish("core.zip", {File::file("c.yar", rule("gamma", "CCCC"))});
  Run second = update();
  ASSERT_EQ(second.status, 0) << second.err;
  const std::string next = currentVersion("core");
  EXPECT_NE(next, first);
  EXPECT_EQ(state("core")["rules"], 1);

  Run rolled = update({"--rollback", "core"});
  ASSERT_EQ(rolled.status, 0) << rolled.err;
  EXPECT_EQ(currentVersion("core"), first);
  EXPECT_EQ(currentFiles("core"), firstFiles);
  EXPECT_EQ(state("core")["rules"], 2);
  // The bundle rolled away from is not installed again by the next run; a newer one is.
  Run again = update();
  ASSERT_EQ(again.status, 0);
  EXPECT_EQ(currentVersion("core"), first);
  publish("core.zip", {File::file("d.yar", rule("delta", "DDDD"))});
  ASSERT_EQ(update().status, 0);
  EXPECT_NE(currentFiles("core").find("d.yar="), std::string::npos);

  EXPECT_EQ(update({"--rollback", "nosuch"}).status, 2);
}

TEST_F(NorvidUpdateTest, ImportsAnOfflineBundleWithTheSameChecks) {
  configureSigned("https://127.0.0.1:1/unreachable.zip");
  const std::string bundle = www() + "/core.zip";
  fs::rename(bundle + ".minisig", bundle + ".sig-aside");
  Run unsigned_ = update({"--import", "core", bundle});
  EXPECT_EQ(unsigned_.status, 1);
  EXPECT_NE(unsigned_.err.find("core.zip.minisig is missing"), std::string::npos) << unsigned_.err;
  EXPECT_EQ(currentVersion("core"), "");

  fs::rename(bundle + ".sig-aside", bundle + ".minisig");
  Run imported = update({"--import", "core", bundle});
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(state("core")["rules"], 2);

  // A single rule file, signed the legacy way, works too.
  const std::string single = dir.write("www/extra.yar", rule("epsilon", "EEEE"));
  keys.sign(single, true);
  ASSERT_EQ(update({"--import", "core", single}).status, 0);
  EXPECT_NE(currentFiles("core").find("extra.yar="), std::string::npos);
}

TEST_F(NorvidUpdateTest, TwoFeedsMayDefineTheSameRuleName) {
  publish("other.zip", {File::file("a.yar", rule("alpha", "OTHER"))});
  configureSigned(fileUrl("core.zip"));
  configure("other", "url = " + fileUrl("other.zip") + "\n");
  configure("off", "url = " + fileUrl("none.zip") + "\nenabled = no\n");
  Run run = update();
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(state("core")["rules"], 2);
  EXPECT_EQ(state("other")["rules"], 1);
  EXPECT_FALSE(fs::exists(feedFolder("off")));
  // Asked for by name, a disabled feed is updated (and here fails).
  EXPECT_EQ(update({"--feed", "off"}).status, 1);
}

TEST_F(NorvidUpdateTest, BadConfigurationOrUsageExitsTwo) {
  configure("core", "url = ftp://nowhere\n");
  Run bad = update();
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("core.conf: unsupported location"), std::string::npos) << bad.err;
  configureSigned(fileUrl("core.zip"));
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--feed", "nosuch"},
                                             {"--bogus"},
                                             {"--import", "core"},
                                             {"--json"},
                                             {"--status", "--rollback", "core"}}) {
    EXPECT_EQ(update(arguments).status, 2) << arguments[0];
  }
  EXPECT_EQ(currentVersion("core"), "");
}

TEST_F(NorvidUpdateTest, TwoRunsNeverInterleave) {
  configureSigned(fileUrl("core.zip"));
  fs::create_directories(dir.str() + "/data/feeds");
  {
    auto held =
        platform::FileLock::acquire(dir.str() + "/data/feeds/.lock", platform::FileLock::Wait::No);
    ASSERT_TRUE(held) << held.message();
    Run blocked = updateWith("timeout 2", {});
    EXPECT_EQ(blocked.status, 124);
    EXPECT_NE(blocked.out.find("another run holds"), std::string::npos) << blocked.out;
    EXPECT_EQ(currentVersion("core"), "");
  }
  EXPECT_EQ(update().status, 0);
}

TEST_F(NorvidUpdateTest, AKilledUpdaterLeavesTheOldOrTheNewVersion) {
  configureSigned(fileUrl("core.zip"));
  ASSERT_EQ(update().status, 0);
  const std::string oldFiles = currentFiles("core");
  std::vector<ArchiveMember> many;
  for (int i = 0; i < 100; ++i) {
    many.push_back(File::file("r" + std::to_string(i) + ".yar",
                              rule("r" + std::to_string(i), "MARK" + std::to_string(i))));
  }
  publish("core.zip", many);
  std::string newFiles;
  for (int round = 0; round < 6; ++round) {
    const std::string delay = std::to_string(round * 0.05);
    Run killed = updateWith("sh -c 'exec \"$0\" \"$@\" & p=$!; sleep " + delay +
                                "; kill -9 $p 2>/dev/null; wait $p; exit 0'",
                            {});
    (void)killed;
    const std::string files = currentFiles("core");
    if (files != oldFiles) {
      if (newFiles.empty()) newFiles = files;
      EXPECT_EQ(files, newFiles) << "round " << round;
      EXPECT_NE(files.find("r99.yar="), std::string::npos);
    }
  }
  Run finish = update();
  ASSERT_EQ(finish.status, 0) << finish.err;
  EXPECT_NE(currentFiles("core").find("r99.yar="), std::string::npos);
  // Whatever the killed runs left behind is gone after a whole run.
  for (const auto& entry : fs::directory_iterator(feedFolder("core"))) {
    EXPECT_EQ(entry.path().filename().string().rfind(".staging-", 0), std::string::npos)
        << entry.path();
  }
}

}  // namespace
}  // namespace norvid::testing
