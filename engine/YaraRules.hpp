#pragma once

#include <cstdint>

struct YR_RULES;

namespace norvid {

// Move-only owner of a compiled libyara rule set (YR_RULES); destroys it when it goes away.
class YaraRules {
 public:
  YaraRules() = default;
  explicit YaraRules(YR_RULES* rules) : rules_(rules) {}
  ~YaraRules();
  YaraRules(YaraRules&& other) noexcept;
  YaraRules& operator=(YaraRules&& other) noexcept;
  YaraRules(const YaraRules&) = delete;
  YaraRules& operator=(const YaraRules&) = delete;

  YR_RULES* get() const { return rules_; }
  explicit operator bool() const { return rules_ != nullptr; }

  // Number of entries in the set's rule table (private and global rules included).
  std::uint32_t ruleCount() const;

  void reset();

 private:
  YR_RULES* rules_ = nullptr;
};

}  // namespace norvid
