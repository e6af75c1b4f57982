#pragma once

#include <cstddef>
#include <optional>
#include <regex>
#include <string>

namespace norvid {

// An ECMAScript, case-insensitive regular expression whose matching time has a known bound.
// It runs on the library's polynomial (breadth-first) engine, so no pattern can backtrack
// exponentially; patterns that engine cannot run (back-references) are refused. The cost of
// one match is at most about states x (length + 1) ^ (1 + lookahead nesting); a pattern whose
// estimated size is too large is refused, and a match whose estimated cost exceeds the budget
// is answered "no match" without running.
class BoundedRegex {
 public:
  // Longest regex text accepted: the library's compiler recurses once per term.
  static constexpr std::size_t kMaxTextLength = 4096;
  // Largest estimated automaton accepted, which also bounds the matcher's recursion.
  static constexpr double kMaxStates = 20000;
  // Estimated state visits allowed for one match.
  static constexpr double kMatchBudget = 16.0 * 1024 * 1024;

  // Empty when `text` does not compile, uses a back-reference or is too large to run safely.
  static std::optional<BoundedRegex> compile(const std::string& text);

  // True when the expression matches the whole of `text`. False when it does not, when the
  // match would cost more than the budget, or when the library fails while matching.
  bool fullMatch(const std::string& text) const;

  // An upper bound of the number of automaton states the library builds for `text`; empty when
  // the pattern nests too deeply or has a malformed brace.
  static std::optional<double> estimateStates(const std::string& text);

  // Estimated cost of matching a text of `length` bytes, in state visits.
  double estimatedCost(std::size_t length) const;

  double estimatedStates() const { return states_; }

 private:
  // The standard traits with case folding as the default locale does it (ASCII letters only),
  // but without the locale look-up the standard traits make for every character compared.
  struct Traits : std::regex_traits<char> {
    char translate_nocase(char c) const {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
  };
  using Regex = std::basic_regex<char, Traits>;

  BoundedRegex(Regex regex, double states, int lookaheadDepth)
      : regex_(std::move(regex)), states_(states), lookaheadDepth_(lookaheadDepth) {}

  Regex regex_;
  double states_;
  int lookaheadDepth_;
};

}  // namespace norvid
