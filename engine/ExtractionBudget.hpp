#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

namespace norvid {

// Bytes that extracting one top-level file may still write, across every nesting level: the
// smaller of 100 times that file's size and 2 GiB. Shared by all levels of one top-level file, so
// that archives nested inside each other cannot multiply what one small file unpacks to.
class ExtractionBudget {
 public:
  static constexpr std::uint64_t kRatio = 100;
  static constexpr std::uint64_t kCeiling = 2ULL << 30;

  static ExtractionBudget forTopLevelFile(std::uint64_t fileSize) {
    const std::uint64_t bound =
        fileSize > kCeiling / kRatio ? kCeiling : std::min(fileSize * kRatio, kCeiling);
    return ExtractionBudget(bound);
  }

  std::uint64_t remaining() const { return remaining_; }

  // True once a consume was refused: the file's extraction went past its bound.
  bool exhausted() const { return exhausted_; }

  // The text of the bomb verdict's exception when the budget ran out.
  static std::string exhaustedMessage() {
    return "Extraction budget exhausted: one file may unpack to at most " + std::to_string(kRatio) +
           " times its size and " + std::to_string(kCeiling) + " bytes in all";
  }

  // Takes `bytes` from the budget; false (and nothing taken) when fewer remain.
  bool consume(std::uint64_t bytes) {
    if (bytes > remaining_) {
      exhausted_ = true;
      return false;
    }
    remaining_ -= bytes;
    return true;
  }

 private:
  explicit ExtractionBudget(std::uint64_t bound) : remaining_(bound) {}

  std::uint64_t remaining_;
  bool exhausted_ = false;
};

}  // namespace norvid
