#include "exclusions/CompiledExclusion.hpp"

#include <algorithm>
#include <string_view>

#include "exclusions/ExclusionsManager.hpp"

namespace norvid {
namespace {

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return asciiLower(x) == asciiLower(y);
         });
}

// Full, case-insensitive match of a wildcard pattern ('*' any run, '?' any one character) over
// a text without line breaks, where it gives the same answer as the pattern's regular
// expression. Backtracks only to the last '*', so it takes at most text x pattern steps.
bool wildcardMatch(std::string_view text, std::string_view pattern) {
  std::size_t t = 0;
  std::size_t p = 0;
  std::size_t starPattern = std::string_view::npos;
  std::size_t starText = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starPattern = p++;
      starText = t;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || asciiLower(pattern[p]) == asciiLower(text[t]))) {
      ++p;
      ++t;
    } else if (starPattern != std::string_view::npos) {
      p = starPattern + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

}  // namespace

CompiledExclusion::CompiledExclusion(const ExclusionEntry& entry)
    : type_(entry.type), value_(entry.value) {
  if (type_ == ExclusionType::Path) {
    const std::size_t first = value_.find_first_of("*?");
    hasWildcard_ = first != std::string::npos;
    if (hasWildcard_) {
      literalHead_ = value_.substr(0, first);
      literalTail_ = value_.substr(value_.find_last_of("*?") + 1);
      regex_ = BoundedRegex::compile(ExclusionsManager::wildcardToRegex(value_));
    }
  } else if (type_ == ExclusionType::Pattern) {
    regex_ = BoundedRegex::compile(value_);
  }
}

bool CompiledExclusion::matchesPathRule(const std::string& normalizedPath) const {
  if (value_.empty() || normalizedPath.starts_with(value_)) return true;
  // The rule's expression is the escaped value with '*' as ".*" and '?' as '.'. Without
  // wildcards its full match is a case-insensitive comparison.
  if (!hasWildcard_) return equalIgnoringCase(normalizedPath, value_);
  // Any path it matches starts with the text before the first wildcard and ends with the text
  // after the last one; most paths fail here at once.
  const std::string_view path(normalizedPath);
  if (path.size() < literalHead_.size() + literalTail_.size() ||
      !equalIgnoringCase(path.substr(0, literalHead_.size()), literalHead_) ||
      !equalIgnoringCase(path.substr(path.size() - literalTail_.size()), literalTail_)) {
    return false;
  }
  // A direct wildcard match gives the expression's answer far faster, as long as the path has
  // no line break (which '.' does not match); only such rare paths go through the expression.
  if (path.find('\n') == std::string_view::npos && path.find('\r') == std::string_view::npos) {
    return wildcardMatch(path, value_);
  }
  return regex_ && regex_->fullMatch(normalizedPath);
}

bool CompiledExclusion::matches(const std::string& normalizedPath, const std::string& extension,
                                const std::string& hash) const {
  switch (type_) {
    case ExclusionType::Path:
      return matchesPathRule(normalizedPath);
    case ExclusionType::Extension:
      return extension == value_;
    case ExclusionType::Hash:
      return !hash.empty() && hash == value_;
    case ExclusionType::Pattern:
      return regex_ && regex_->fullMatch(normalizedPath);
  }
  return false;
}

}  // namespace norvid
