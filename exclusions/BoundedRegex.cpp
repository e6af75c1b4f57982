#include "exclusions/BoundedRegex.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <vector>

namespace norvid {
namespace {

// Deeper group nesting is refused: the library's compiler recurses once per level.
constexpr std::size_t kMaxNesting = 100;
constexpr double kSaturated = 1e15;

struct SizeEstimate {
  double states = 0;
  int lookaheadDepth = 0;
};

// One open group while the pattern is walked: the weight of its finished items and of the last
// item, which a following quantifier multiplies.
struct GroupFrame {
  double total = 0;
  double last = 0;
  bool lookahead = false;
};

double saturate(double value) { return std::min(value, kSaturated); }

// Reads "{m}", "{m,}" or "{m,n}" at `pos` (the '{') and returns how many copies of the quantified
// item the compiler makes; empty when the brace is malformed.
std::optional<double> braceCopies(const std::string& text, std::size_t& pos) {
  std::size_t i = pos + 1;
  auto readNumber = [&](double& out) {
    std::size_t start = i;
    out = 0;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      out = saturate(out * 10 + (text[i] - '0'));
      ++i;
    }
    return i > start;
  };
  double low = 0;
  if (!readNumber(low)) return std::nullopt;
  double copies = low;
  if (i < text.size() && text[i] == ',') {
    ++i;
    double high = 0;
    copies = readNumber(high) ? high : low + 1;
  }
  if (i >= text.size() || text[i] != '}') return std::nullopt;
  pos = i;
  return copies;
}

// An upper bound of the number of automaton states the library builds for `text`, counted the
// way its compiler expands quantifiers: '*', '+' and '?' add a few states, "{m,n}" copies the
// item n times. Empty when the pattern nests too deeply or has a malformed brace.
std::optional<SizeEstimate> estimateSize(const std::string& text) {
  std::vector<GroupFrame> stack(1);
  SizeEstimate estimate;
  int lookaheads = 0;
  auto startItem = [&](double weight) {
    GroupFrame& frame = stack.back();
    frame.total = saturate(frame.total + frame.last);
    frame.last = weight;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    switch (c) {
      case '\\':
        ++i;
        startItem(1);
        break;
      case '[':
        // A class is one state; it ends at the first unescaped ']', which is never later than
        // where the library ends it, so quantifiers are never missed.
        for (++i; i < text.size() && text[i] != ']'; ++i) {
          if (text[i] == '\\') ++i;
        }
        startItem(1);
        break;
      case '(': {
        if (stack.size() > kMaxNesting) return std::nullopt;
        GroupFrame frame;
        if (i + 2 < text.size() && text[i + 1] == '?' &&
            (text[i + 2] == '=' || text[i + 2] == '!')) {
          frame.lookahead = true;
          estimate.lookaheadDepth = std::max(estimate.lookaheadDepth, ++lookaheads);
        }
        stack.push_back(frame);
        break;
      }
      case ')': {
        if (stack.size() == 1) {
          startItem(1);
          break;
        }
        GroupFrame inner = stack.back();
        stack.pop_back();
        if (inner.lookahead) --lookaheads;
        startItem(saturate(inner.total + inner.last + 4));
        break;
      }
      case '|':
        startItem(0);
        stack.back().total = saturate(stack.back().total + 3);
        break;
      case '*':
      case '+':
      case '?':
        stack.back().last = saturate(stack.back().last + 3);
        break;
      case '{': {
        std::optional<double> copies = braceCopies(text, i);
        if (!copies) return std::nullopt;
        GroupFrame& frame = stack.back();
        frame.last = saturate(frame.last * *copies + 2 * *copies + 3);
        break;
      }
      default:
        startItem(1);
        break;
    }
  }
  // Groups left open make the compile fail; count them anyway.
  double states = 4;
  for (const GroupFrame& frame : stack) states = saturate(states + frame.total + frame.last + 4);
  estimate.states = states;
  return estimate;
}

}  // namespace

std::optional<double> BoundedRegex::estimateStates(const std::string& text) {
  std::optional<SizeEstimate> size = estimateSize(text);
  if (!size) return std::nullopt;
  return size->states;
}

std::optional<BoundedRegex> BoundedRegex::compile(const std::string& text) {
  if (text.size() > kMaxTextLength) return std::nullopt;
  std::optional<SizeEstimate> size = estimateSize(text);
  if (!size || size->states > kMaxStates) return std::nullopt;
  try {
    // nosubs: only the verdict is needed, and without captures the breadth-first engine copies
    // no sub-match vectors per state.
    Regex regex(text, Regex::ECMAScript | Regex::icase | Regex::nosubs |
                          std::regex_constants::__polynomial);
    return BoundedRegex(std::move(regex), size->states, size->lookaheadDepth);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

double BoundedRegex::estimatedCost(std::size_t length) const {
  return states_ * std::pow(static_cast<double>(length) + 1, 1 + lookaheadDepth_);
}

bool BoundedRegex::fullMatch(const std::string& text) const {
  if (estimatedCost(text.size()) > kMatchBudget) return false;
  try {
    return std::regex_match(text, regex_);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace norvid
