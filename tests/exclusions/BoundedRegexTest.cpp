#include <gtest/gtest.h>

#include "exclusions/BoundedRegex.hpp"

namespace norvid {
namespace {

TEST(BoundedRegexTest, MatchesWholeTextIgnoringCase) {
  const struct {
    std::string pattern;
    std::string text;
    bool expected;
  } cases[] = {
      {"[a-z]+\\.log", "App.LOG", true},
      {"log", "x.log", false},
      {"a|b", "B", true},
      {"x{2,3}", "xxxx", false},
      {"x{2,}", "xxxx", true},
      {"(?!tmp).*", "tmpfile", false},
      {"(?=.*a).*", "bab", true},
      // Exponential on a backtracking engine; the polynomial one answers at once.
      {"(a*)*b", std::string(5000, 'a'), false},
      {"(a|aa)*c", std::string(3000, 'a') + "c", true},
      {"(x+x+)+y", std::string(3000, 'x'), false},
      // A recursive matcher would overflow its stack on a text this long.
      {".*", std::string(200000, 'a'), true},
  };
  for (const auto& c : cases) {
    std::optional<BoundedRegex> regex = BoundedRegex::compile(c.pattern);
    ASSERT_TRUE(regex) << c.pattern;
    EXPECT_EQ(regex->fullMatch(c.text), c.expected) << c.pattern;
  }
}

TEST(BoundedRegexTest, RefusesWhatItCannotRunSafely) {
  const struct {
    const char* why;
    std::string pattern;
  } cases[] = {
      {"syntax error", "(["},
      {"malformed brace", "a{2"},
      {"back-reference", "(a)\\1"},
      {"huge counted repetition", "(x{0,1000}){0,1000}"},
      {"nested counted repetition", "((((a{0,10}){0,10}){0,10}){0,10})"},
      {"deep nesting", std::string(200, '(') + "a" + std::string(200, ')')},
      {"long text", std::string(BoundedRegex::kMaxTextLength + 1, 'a')},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(BoundedRegex::compile(c.pattern)) << c.why;
  }
}

TEST(BoundedRegexTest, EstimateCoversTheAutomatonTheLibraryBuilds) {
  // The library itself refuses these for building more than 100000 states. The estimate must
  // put them above our own, five times smaller, limit: it never under-counts the copies that
  // counted repetitions make.
  const std::string tooLarge[] = {"a{100001}",
                                  "(ab){50001}",
                                  "[a-z]{0,100001}",
                                  "((a{0,50}){0,50}){0,41}",
                                  "(?:(a|b){0,400}){0,250}",
                                  "(?=(x{0,300}){0,300})"};
  for (const std::string& pattern : tooLarge) {
    try {
      std::regex(pattern, std::regex::ECMAScript | std::regex::icase | std::regex::nosubs |
                              std::regex_constants::__polynomial);
      ADD_FAILURE() << pattern << " is not too large for the library";
    } catch (const std::regex_error& e) {
      EXPECT_EQ(e.code(), std::regex_constants::error_space) << pattern;
    }
    std::optional<double> states = BoundedRegex::estimateStates(pattern);
    ASSERT_TRUE(states) << pattern;
    EXPECT_GT(*states, BoundedRegex::kMaxStates) << pattern;
  }
}

TEST(BoundedRegexTest, CostlyMatchIsAnsweredWithoutRunning) {
  // A lookahead may run again from every position: quadratic in the text length.
  std::optional<BoundedRegex> regex = BoundedRegex::compile("(?=.*a).*");
  ASSERT_TRUE(regex);
  const std::string shortText(100, 'a');
  const std::string longText(8000, 'a');
  ASSERT_LE(regex->estimatedCost(shortText.size()), BoundedRegex::kMatchBudget);
  ASSERT_GT(regex->estimatedCost(longText.size()), BoundedRegex::kMatchBudget);
  EXPECT_TRUE(regex->fullMatch(shortText));
  EXPECT_FALSE(regex->fullMatch(longText));
}

}  // namespace
}  // namespace norvid
