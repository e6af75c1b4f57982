#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/RequestBuilder.hpp"

namespace norvid {
namespace {

constexpr const char* kHere = "/home/ana/work";

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
      // The one true/false member travels as a JSON boolean.
      {{"scan_realtime", "path=/a", "program_start=true"},
       R"({"command":"scan_realtime","path":"/a","program_start":true})",
       false},
      // A later key replaces an earlier one; the command word always wins over a "command" key.
      {{"scan", "path=/a", "path=/b", "command=status"},
       R"({"command":"scan","path":"/b"})",
       false},
      {{"--json", R"({"command":"status"})", "--raw"}, R"({"command":"status"})", true},
      {{"--json", "not json at all"}, "not json at all", false},
      {{"scan", "path=/\xff"}, "{\"command\":\"scan\",\"path\":\"/\xef\xbf\xbd\"}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    std::string error;
    const auto parsed = RequestBuilder::parse(c.args, kHere, &error);
    ASSERT_TRUE(parsed.has_value()) << error;
    EXPECT_EQ(parsed->requests, std::vector<std::string>{c.request});
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
      {{"status", "/tmp"}, "expected key=value: /tmp"},
      {{"quarantine_file", "threat_name=x", "a.exe"}, "expected key=value: a.exe"},
      {{"scan", "path=/a", "/b"},
       "give the paths either as path=... or as plain arguments, not both"},
      {{"scan", "=value"}, "expected key=value: =value"},
      {{"--json"}, "--json needs the request text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    std::string error;
    EXPECT_FALSE(RequestBuilder::parse(c.args, kHere, &error).has_value());
    EXPECT_EQ(error, c.error);
  }
}

// Seen: `norvidctl scan path=.` scanned the service's working directory and `scan
// path=eicar.com` answered "La ruta no existe": the service must never see a relative path.
TEST(RequestBuilderTest, MakesARelativePathAbsoluteAgainstTheClientsDirectory) {
  struct Case {
    std::vector<std::string> args;
    const char* request;
  };
  const Case cases[] = {
      {{"scan", "path=."}, R"({"command":"scan","path":"/home/ana/work"})"},
      {{"scan", "path=eicar.com"}, R"({"command":"scan","path":"/home/ana/work/eicar.com"})"},
      {{"scan", "path=./a//b/./c/"}, R"({"command":"scan","path":"/home/ana/work/a/b/c"})"},
      // ".." is left to the kernel, which knows where it leads through a symbolic link.
      {{"scan", "path=../x"}, R"({"command":"scan","path":"/home/ana/work/../x"})"},
      {{"scan", "path=/etc/./passwd"}, R"({"command":"scan","path":"/etc/./passwd"})"},
      // A path that reads as a number is still a path.
      {{"scan", "path=2024"}, R"({"command":"scan","path":"/home/ana/work/2024"})"},
      {{"quarantine_file", "path=x.exe", "threat_name=Manual"},
       R"({"command":"quarantine_file","path":"/home/ana/work/x.exe","threat_name":"Manual"})"},
      {{"add_exclusion", "path=build"},
       R"({"command":"add_exclusion","path":"/home/ana/work/build"})"},
      // A value that starts with a wildcard is a pattern, not a place.
      {{"add_exclusion", "path=*.log"}, R"({"command":"add_exclusion","path":"*.log"})"},
      {{"scan", "path="}, R"({"command":"scan","path":""})"},
      {{"--json", R"({"command":"scan","path":"eicar.com"})"},
       R"({"command":"scan","path":"/home/ana/work/eicar.com"})"},
      {{"--json", R"({"command":"scan", "path":"/abs"})"}, R"({"command":"scan", "path":"/abs"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    std::string error;
    const auto parsed = RequestBuilder::parse(c.args, kHere, &error);
    ASSERT_TRUE(parsed.has_value()) << error;
    EXPECT_EQ(parsed->requests, std::vector<std::string>{c.request});
  }
  // A working directory that cannot be read refuses only what needs it.
  std::string error;
  EXPECT_FALSE(RequestBuilder::parse({"scan", "a.txt"}, "", &error).has_value());
  EXPECT_EQ(error, "the working directory cannot be read for the relative path a.txt");
  EXPECT_TRUE(RequestBuilder::parse({"scan", "/srv/a.txt"}, "", &error).has_value());
  EXPECT_TRUE(RequestBuilder::parse({"status"}, "", &error).has_value());
  EXPECT_EQ(RequestBuilder::absolutePath("a", "/"), "/a");
  EXPECT_EQ(RequestBuilder::absolutePath(".", "/"), "/");
}

// Seen: `norvidctl scan FILE` was refused with "expected key=value".
TEST(RequestBuilderTest, TakesPlainPathsForScansAndReports) {
  std::string error;
  auto scan = RequestBuilder::parse({"scan", "eicar.com", "/srv/a", "--quiet"}, kHere, &error);
  ASSERT_TRUE(scan.has_value()) << error;
  EXPECT_TRUE(scan->quiet);
  EXPECT_EQ(scan->requests,
            (std::vector<std::string>{R"({"command":"scan","path":"/home/ana/work/eicar.com"})",
                                      R"({"command":"scan","path":"/srv/a"})"}));

  // The other members go with every path; after "--" every word is a path.
  auto report = RequestBuilder::parse(
      {"generate_report", "scan_type=full", "docs", "--", "--raw", "a=b"}, kHere, &error);
  ASSERT_TRUE(report.has_value()) << error;
  EXPECT_FALSE(report->raw);
  EXPECT_EQ(
      report->requests,
      (std::vector<std::string>{
          R"({"command":"generate_report","path":"/home/ana/work/docs","scan_type":"full"})",
          R"({"command":"generate_report","path":"/home/ana/work/--raw","scan_type":"full"})",
          R"({"command":"generate_report","path":"/home/ana/work/a=b","scan_type":"full"})"}));
}

}  // namespace
}  // namespace norvid
