#include <gtest/gtest.h>

#include "tests/support/ScopedEnvironment.hpp"
#include "tests/support/TempDir.hpp"
#include "update/FeedConfig.hpp"

namespace norvid::update {
namespace {

// A minisign public key in its usual text form.
constexpr const char* kKey = "RWQf6LRCGA9i53mlYecO4IzT51TGPpvWucNSCh1CBM0QTaLn73Y7GFO3";

TEST(FeedConfigTest, ReadsEveryKey) {
  auto config = FeedConfig::parse("core-rules",
                                  std::string("# a feed\n") +
                                      "url = https://example.org/b.zip  # bundle\n"
                                      "kind = hashes\nenabled = no\n"
                                      "minisign_key = " +
                                      kKey +
                                      "\n"
                                      "sha256 = " +
                                      std::string(64, 'A') +
                                      "\n"
                                      "ca_file = /etc/ssl/ca.pem\nmax_size = 1000\n"
                                      "signature_url = https://example.org/sig\n",
                                  "core-rules.conf");
  ASSERT_TRUE(config) << config.message();
  EXPECT_EQ(config->url, "https://example.org/b.zip");
  EXPECT_EQ(config->kind, FeedKind::Hashes);
  EXPECT_FALSE(config->enabled);
  EXPECT_EQ(config->minisignKey, kKey);
  EXPECT_EQ(config->sha256, std::string(64, 'a'));
  EXPECT_EQ(config->caFile, "/etc/ssl/ca.pem");
  EXPECT_EQ(config->maxSize, 1000u);
  EXPECT_EQ(config->signatureLocation(), "https://example.org/sig");
}

TEST(FeedConfigTest, DefaultsAndSignatureBesideTheBundle) {
  auto config = FeedConfig::parse("a", "url = file:///srv/rules.yar\n", "a.conf");
  ASSERT_TRUE(config) << config.message();
  EXPECT_EQ(config->kind, FeedKind::Yara);
  EXPECT_TRUE(config->enabled);
  EXPECT_FALSE(config->insecure);
  EXPECT_EQ(config->maxSize, FeedConfig::kDefaultMaxSize);
  EXPECT_EQ(config->signatureLocation(), "file:///srv/rules.yar.minisig");
}

TEST(FeedConfigTest, RefusesBadConfigurationWithTheLine) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"kind = yara\n", "a.conf: url is missing"},
      {"url = ftp://x/y\n", "unsupported location"},
      {"url = http://x/y\n", "plain http:// needs insecure = yes"},
      {"url = https://x\nnonsense\n", "a.conf:2: expected key = value"},
      {"url = https://x\ncolour = red\n", "a.conf:2: unknown key \"colour\""},
      {"url = https://x\nkind = exe\n", "kind must be yara or hashes"},
      {"url = https://x\nenabled = maybe\n", "expected yes or no"},
      {"url = https://x\nsha256 = abc\n", "sha256 must be 64 hexadecimal digits"},
      {"url = https://x\nmax_size = 0\n", "max_size must be a positive number"},
      {"url = https://x\nmax_size = -5\n", "max_size must be a positive number"},
      {"url = https://x\nca_file = ca.pem\n", "ca_file must be an absolute path"},
      {"url = https://x\nminisign_key = RWnotakey\n", "minisign_key: not a minisign public key"},
      {"url = https://x\nurl = https://y\n", "a.conf:2: key \"url\" given twice"},
  };
  for (const Case& c : cases) {
    auto config = FeedConfig::parse("a", c.text, "a.conf");
    ASSERT_FALSE(config) << c.text;
    EXPECT_NE(config.message().find(c.message), std::string::npos)
        << c.text << " -> " << config.message();
  }
  auto insecure = FeedConfig::parse("a", "insecure = yes\nurl = http://x/y\n", "a.conf");
  EXPECT_TRUE(insecure) << insecure.message();
}

TEST(FeedConfigTest, NamesFollowTheRule) {
  for (const char* good : {"a", "core", "yara-forge.core_2", "0abc"}) {
    EXPECT_TRUE(FeedConfig::isValidName(good)) << good;
  }
  for (const char* bad : {"", "-a", ".a", "_a", "Core", "a b", "a/b", "a\xc3\xa9"}) {
    EXPECT_FALSE(FeedConfig::isValidName(bad)) << bad;
  }
  EXPECT_TRUE(FeedConfig::isValidName(std::string(64, 'a')));
  EXPECT_FALSE(FeedConfig::isValidName(std::string(65, 'a')));
}

TEST(FeedConfigTest, ReadsTheFolderSortedAndFailsOnAnyBadFile) {
  testing::TempDir dir;
  dir.write("zeta.conf", "url = https://z\n");
  dir.write("alpha.conf", "url = https://a\n");
  dir.write("notes.txt", "not a feed");
  auto feeds = FeedConfig::readDirectory(dir.str());
  ASSERT_TRUE(feeds) << feeds.message();
  ASSERT_EQ(feeds->size(), 2u);
  EXPECT_EQ((*feeds)[0].name, "alpha");
  EXPECT_EQ((*feeds)[1].name, "zeta");

  dir.write("Bad Name.conf", "url = https://b\n");
  auto refused = FeedConfig::readDirectory(dir.str());
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.message().find("feed name \"Bad Name\""), std::string::npos);

  auto missing = FeedConfig::readDirectory(dir.str() + "/none");
  ASSERT_TRUE(missing);
  EXPECT_TRUE(missing->empty());
}

TEST(FeedConfigTest, TheEnvironmentReplacesTheFolder) {
  testing::ScopedEnvironment environment("NORVID_FEEDS_DIR", "/srv/feeds");
  EXPECT_EQ(FeedConfig::defaultDirectory(), "/srv/feeds");
}

}  // namespace
}  // namespace norvid::update
