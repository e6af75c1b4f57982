#include "tools/RequestBuilder.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norvid {
namespace {

TEST(RequestBuilderTest, BuildsTheRequestTextFromTheArguments) {
  struct Case {
    std::vector<std::string> args;
    const char* request;
    bool raw;
  };
  const Case cases[] = {
      {{"status"}, R"({"command":"status"})", false},
      {{"list_reports", "max_count=5"}, R"({"command":"list_reports","max_count":5})", false},
      {{"add_schedule", "hour=-3", "minute=07"},
       R"({"command":"add_schedule","hour":-3,"minute":7})",
       false},
      // Only whole integers become numbers; anything else stays text, '=' in a value included.
      {{"scan", "path=/tmp/a=b", "x=1.5", "y=12abc", "z="},
       R"({"command":"scan","path":"/tmp/a=b","x":"1.5","y":"12abc","z":""})",
       false},
      {{"list_quarantine", "--raw"}, R"({"command":"list_quarantine"})", true},
      // A later key replaces an earlier one; the command word always wins over a "command" key.
      {{"scan", "path=a", "path=b", "command=status"}, R"({"command":"scan","path":"b"})", false},
      {{"--json", R"({"command":"status"})", "--raw"}, R"({"command":"status"})", true},
      {{"--json", "not json at all"}, "not json at all", false},
      {{"scan", "path=\xff"}, "{\"command\":\"scan\",\"path\":\"\xef\xbf\xbd\"}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    std::string error;
    const auto parsed = RequestBuilder::parse(c.args, &error);
    ASSERT_TRUE(parsed.has_value()) << error;
    EXPECT_EQ(parsed->request, c.request);
    EXPECT_EQ(parsed->raw, c.raw);
  }
}

TEST(RequestBuilderTest, RefusesUnusableArguments) {
  struct Case {
    std::vector<std::string> args;
    const char* error;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"--raw"}, "no command given"},
      {{"path=/tmp"}, "the command comes first: path=/tmp"},
      {{"scan", "/tmp"}, "expected key=value: /tmp"},
      {{"scan", "=value"}, "expected key=value: =value"},
      {{"--json"}, "--json needs the request text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::string error;
    EXPECT_FALSE(RequestBuilder::parse(c.args, &error).has_value());
    EXPECT_EQ(error, c.error);
  }
}

}  // namespace
}  // namespace norvid
