#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <vector>

namespace norvid {

// What an administrator allows despite the rules, from the `*.conf` files of one folder: lines
// `rule NAME` (matches of the rule or hash signature NAME are dropped everywhere) and
// `sha256 HEX` (the file with that SHA-256 is clean whatever matches). Blank lines and `#`
// comments are passed over; any other line is reported and skipped. Read-only once loaded, so
// several scans may consult it at once.
class AllowList {
 public:
  // One line that was skipped: where it is and what it says.
  struct Problem {
    std::string file;
    std::size_t line = 0;
    std::string text;
  };

  // Loads every `*.conf` file directly in `directory`, in name order. A missing folder is an
  // empty list. Gives the lines that were skipped.
  std::vector<Problem> load(const std::string& directory);

  bool empty() const { return rules_.empty() && digests_.empty(); }
  std::size_t ruleCount() const { return rules_.size(); }
  std::size_t digestCount() const { return digests_.size(); }

  bool allowsRule(const std::string& name) const { return rules_.count(name) > 0; }
  // `sha256` in lower-case hexadecimal.
  bool allowsDigest(const std::string& sha256) const { return digests_.count(sha256) > 0; }

 private:
  bool addLine(const std::string& line);

  std::set<std::string> rules_;
  std::set<std::string> digests_;
};

}  // namespace norvid
