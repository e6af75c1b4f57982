#include "tests/support/RuleFixtures.hpp"

#include <fstream>
#include <stdexcept>

namespace norvid::testing {

RuleFixtures::RuleFixtures(std::filesystem::path directory) : directory_(std::move(directory)) {
  std::filesystem::create_directories(directory_);
}

std::string RuleFixtures::write(const std::string& fileName, const std::string& text) const {
  std::filesystem::path target = directory_ / fileName;
  std::ofstream out(target, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + target.string());
  return target.string();
}

std::string RuleFixtures::writeOfSize(const std::string& fileName, const std::string& text,
                                      std::uintmax_t size) const {
  const std::string open = "\n/*";
  const std::string close = "*/\n";
  const std::uintmax_t fixed = text.size() + open.size() + close.size();
  if (size < fixed) throw std::invalid_argument("rule file size too small for its text");
  return write(fileName, text + open + std::string(size - fixed, 'x') + close);
}

std::string RuleFixtures::ruleMatching(const std::string& name, const std::string& marker) {
  std::string escaped;
  for (char c : marker) {
    if (c == '"' || c == '\\') escaped += '\\';
    escaped += c;
  }
  return "rule " + name + "\n{\n  strings:\n    $m = \"" + escaped +
         "\"\n  condition:\n    $m\n}\n";
}

std::string RuleFixtures::brokenRule() { return "rule Broken\n{ condition: undefined_thing }\n"; }

}  // namespace norvid::testing
