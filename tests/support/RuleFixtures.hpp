#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace norvid::testing {

// A rules directory for tests: writes YARA rule sources into it.
class RuleFixtures {
 public:
  // Creates `directory` (and missing parents).
  explicit RuleFixtures(std::filesystem::path directory);

  const std::filesystem::path& directory() const { return directory_; }
  std::string str() const { return directory_.string(); }

  // Writes `text` as `fileName` in the directory and returns its full path.
  std::string write(const std::string& fileName, const std::string& text) const;

  // Writes `text` followed by a comment that pads the file to exactly `size` bytes.
  // REQUIRES: `size` leaves room for the text and the comment markers.
  std::string writeOfSize(const std::string& fileName, const std::string& text,
                          std::uintmax_t size) const;

  // Source of one rule `name` that matches any file containing the text `marker`.
  static std::string ruleMatching(const std::string& name, const std::string& marker);

  // Source that does not compile (one error, on line 2).
  static std::string brokenRule();

 private:
  std::filesystem::path directory_;
};

}  // namespace norvid::testing
