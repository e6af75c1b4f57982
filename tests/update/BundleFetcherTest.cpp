#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TempDir.hpp"
#include "tests/update/FeedServer.hpp"
#include "update/BundleFetcher.hpp"

namespace norvid::update {
namespace {

class BundleFetcherTest : public ::testing::Test {
 protected:
  void SetUp() override { dir.write("www/rules.yar", std::string(1000, 'r')); }

  FetchRequest requestFor(const std::string& url) const {
    FetchRequest request;
    request.url = url;
    request.destination = dir.str() + "/download";
    request.connectTimeoutSeconds = 5;
    request.totalTimeoutSeconds = 20;
    return request;
  }
  platform::Result<FetchResult> fetch(const FetchRequest& request) const {
    return BundleFetcher().fetch(request);
  }
  void expectFailure(const FetchRequest& request, const std::string& text) const {
    auto result = fetch(request);
    ASSERT_FALSE(result) << request.url;
    EXPECT_NE(result.message().find(text), std::string::npos) << result.message();
  }

  testing::TempDir dir;
};

TEST_F(BundleFetcherTest, ReadsLocalMirrors) {
  auto result = fetch(requestFor("file://" + dir.str() + "/www/rules.yar"));
  ASSERT_TRUE(result) << result.message();
  EXPECT_EQ(result->bytes, 1000u);
  EXPECT_EQ(testing::readFile(dir.str() + "/download"), std::string(1000, 'r'));
  expectFailure(requestFor("file://" + dir.str() + "/www/none.yar"), "cannot read the file");
}

TEST_F(BundleFetcherTest, TheSizeLimitHoldsWhileDownloading) {
  FetchRequest request = requestFor("file://" + dir.str() + "/www/rules.yar");
  request.maxSize = 999;
  expectFailure(request, "larger than max_size (999 bytes)");
  request.maxSize = 1000;
  EXPECT_TRUE(fetch(request));

  testing::FeedServer server(dir.str() + "/www");
  FetchRequest http = requestFor(server.url("/rules.yar"));
  http.allowPlainHttp = true;
  http.maxSize = 10;
  expectFailure(http, "larger than max_size (10 bytes)");
}

TEST_F(BundleFetcherTest, AsksConditionallyAndA304WritesNothing) {
  testing::FeedServer server(dir.str() + "/www");
  FetchRequest request = requestFor(server.url("/rules.yar"));
  request.allowPlainHttp = true;
  auto first = fetch(request);
  ASSERT_TRUE(first) << first.message();
  EXPECT_FALSE(first->notModified);
  ASSERT_FALSE(first->etag.empty());
  EXPECT_FALSE(first->lastModified.empty());

  request.etag = first->etag;
  request.lastModified = first->lastModified;
  auto second = fetch(request);
  ASSERT_TRUE(second) << second.message();
  EXPECT_TRUE(second->notModified);
  EXPECT_EQ(second->bytes, 0u);
}

TEST_F(BundleFetcherTest, EachFailureSaysWhatWentWrong) {
  testing::FeedServer server(dir.str() + "/www");
  struct Case {
    std::string url;
    std::string message;
  };
  const Case cases[] = {
      {server.url("/status/404"), "the server answered HTTP 404"},
      {server.url("/status/500"), "the server answered HTTP 500"},
      {server.url("/truncated/rules.yar"), "cut short"},
      {"http://127.0.0.1:1/rules.yar", "cannot connect"},
  };
  for (const Case& c : cases) {
    FetchRequest request = requestFor(c.url);
    request.allowPlainHttp = true;
    expectFailure(request, c.message);
  }
  // Plain HTTP is refused unless the feed allows it.
  expectFailure(requestFor(server.url("/rules.yar")), "protocol is not allowed");
  FetchRequest slow = requestFor(server.url("/slow/rules.yar"));
  slow.allowPlainHttp = true;
  slow.totalTimeoutSeconds = 1;
  expectFailure(slow, "timed out");
}

TEST_F(BundleFetcherTest, ChecksTheServersCertificate) {
  testing::FeedServer::makeCertificate(dir.str());
  testing::FeedServer server(dir.str() + "/www", dir.str() + "/cert.pem", dir.str() + "/key.pem");
  FetchRequest request = requestFor(server.url("/rules.yar"));
  // Not signed by any authority the system trusts.
  expectFailure(request, "TLS failed");
  request.caFile = dir.str() + "/cert.pem";
  auto trusted = fetch(request);
  ASSERT_TRUE(trusted) << trusted.message();
  EXPECT_EQ(trusted->bytes, 1000u);
}

}  // namespace
}  // namespace norvid::update
