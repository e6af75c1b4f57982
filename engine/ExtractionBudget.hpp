#pragma once

#include <algorithm>
#include <cstdint>

namespace norvid {

// Bytes that extracting one top-level file may still write, across every nesting level: the
// smaller of 100 times that file's size and 2 GiB. Shared by all levels of one top-level file.
class ExtractionBudget {
 public:
  static constexpr std::uint64_t kMaxBytes = 2ull * 1024 * 1024 * 1024;
  static constexpr std::uint64_t kSizeFactor = 100;

  static ExtractionBudget forTopLevelFile(std::uint64_t fileSize) {
    const std::uint64_t scaled =
        fileSize > kMaxBytes / kSizeFactor ? kMaxBytes : fileSize * kSizeFactor;
    return ExtractionBudget(std::min(scaled, kMaxBytes));
  }

  std::uint64_t remaining() const { return remaining_; }

  // Takes `bytes` from the budget; false (nothing taken) when fewer remain.
  bool consume(std::uint64_t bytes) {
    if (bytes > remaining_) return false;
    remaining_ -= bytes;
    return true;
  }

 private:
  explicit ExtractionBudget(std::uint64_t bytes) : remaining_(bytes) {}

  std::uint64_t remaining_;
};

}  // namespace norvid
