#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace norvid {

// Counts the entries a recursive directory scan of the same tree would judge, without opening a
// single file: regular files, links to regular files, entries that vanish while listed, and the
// directories the scan reports as errors (too deep, unreadable for another reason than access).
// It is the scan's own walk (DirectoryWalker), so both always agree on what is met.
class FileCounter {
 public:
  // The count below `root`, or nothing when `stop` was set before the walk ended.
  static std::optional<std::uint64_t> count(const std::string& root, const std::atomic<bool>& stop);
};

}  // namespace norvid
