#pragma once

#include <cstdint>
#include <string>

namespace norvid::update {

// Reads a hash-list file (lines "HASH:SIZE:NAME" or a bare HASH; HASH 32, 40 or 64 hex digits,
// SIZE a number or "*"; blank lines and "#" comments ignored).
class HashListChecker {
 public:
  struct Count {
    std::int64_t hashes = 0;
    std::int64_t badLines = 0;
    std::string firstBadLine;  // "line N: ..." of the first line that is not a hash entry
  };

  static Count check(const std::string& path);
  static bool isEntry(const std::string& line);
};

}  // namespace norvid::update
