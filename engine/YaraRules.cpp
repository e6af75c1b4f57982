#include "engine/YaraRules.hpp"

#include <yara.h>

#include <utility>

namespace norvid {

YaraRules::~YaraRules() { reset(); }

YaraRules::YaraRules(YaraRules&& other) noexcept : rules_(std::exchange(other.rules_, nullptr)) {}

YaraRules& YaraRules::operator=(YaraRules&& other) noexcept {
  if (this != &other) {
    reset();
    rules_ = std::exchange(other.rules_, nullptr);
  }
  return *this;
}

void YaraRules::reset() {
  if (rules_ != nullptr) {
    yr_rules_destroy(rules_);
    rules_ = nullptr;
  }
}

std::uint32_t YaraRules::ruleCount() const {
  if (rules_ == nullptr) return 0;
  std::uint32_t count = 0;
  const YR_RULE* rule = nullptr;
  yr_rules_foreach(rules_, rule) { ++count; }
  return count;
}

}  // namespace norvid
