#pragma once

#include <cstdint>
#include <string>

#include "engine/ArchiveLimits.hpp"
#include "engine/ExtractionBudget.hpp"

namespace norvid {

// Tracks the bytes one container's extraction produces against the limits: per entry the larger
// of the declared size and what was actually written, summed over the container for the
// compression ratio; every byte actually written is also taken from the top-level file's budget.
// Throws avwindows::ArchiveBombException before a limit would be passed.
class ArchiveExpansion {
 public:
  ArchiveExpansion(const ArchiveLimits& limits, std::uint64_t containerSize,
                   ExtractionBudget& budget)
      : limits_(limits), containerSize_(containerSize), budget_(budget) {}

  // Starts the next entry, whose header declares `declared` bytes (0 when it declares none).
  void startEntry(const std::string& name, std::uint64_t declared);

  // Accounts for data reaching `extent` bytes into the current entry.
  void reach(std::uint64_t extent);

  // Bytes the current entry may still grow by before reach() throws.
  std::uint64_t allowance() const;

 private:
  void checkRatio() const;
  std::uint64_t ratioBound() const;

  const ArchiveLimits& limits_;
  const std::uint64_t containerSize_;
  ExtractionBudget& budget_;
  std::string name_;
  std::uint64_t entryBytes_ = 0;
  std::uint64_t entryWritten_ = 0;
  std::uint64_t total_ = 0;
};

}  // namespace norvid
