#pragma once

#include <optional>
#include <string>

#include "exclusions/BoundedRegex.hpp"
#include "exclusions/ExclusionEntry.hpp"

namespace norvid {

// One rule prepared for matching: its regular expression is compiled once, when the rule enters
// the list, instead of on every check.
class CompiledExclusion {
 public:
  explicit CompiledExclusion(const ExclusionEntry& entry);

  // `normalizedPath` is the file's normalised path, `extension` its lower-case extension (empty
  // when it has none) and `hash` the lower-case content hash (empty when unknown).
  bool matches(const std::string& normalizedPath, const std::string& extension,
               const std::string& hash) const;

 private:
  bool matchesPathRule(const std::string& normalizedPath) const;

  ExclusionType type_;
  std::string value_;
  // Path rules: whether the value holds '*' or '?', and the texts before the first and after
  // the last of them.
  bool hasWildcard_ = false;
  std::string literalHead_;
  std::string literalTail_;
  std::optional<BoundedRegex> regex_;
};

}  // namespace norvid
