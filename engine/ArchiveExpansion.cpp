#include "engine/ArchiveExpansion.hpp"

#include <algorithm>
#include <limits>

#include "engine/ArchiveBombException.hpp"

namespace norvid {

void ArchiveExpansion::startEntry(const std::string& name, std::uint64_t declared) {
  name_ = name;
  entryBytes_ = declared;
  entryWritten_ = 0;
  total_ += declared;
  checkRatio();
}

void ArchiveExpansion::reach(std::uint64_t extent) {
  if (extent > limits_.maxEntrySize) {
    throw avwindows::ArchiveBombException("Archive entry exceeds maximum size: " + name_ +
                                          " (more than " + std::to_string(limits_.maxEntrySize) +
                                          " bytes)");
  }
  if (extent > entryBytes_) {
    total_ += extent - entryBytes_;
    entryBytes_ = extent;
    checkRatio();
  }
  if (extent > entryWritten_) {
    if (!budget_.consume(extent - entryWritten_)) {
      throw avwindows::ArchiveBombException(ExtractionBudget::exhaustedMessage());
    }
    entryWritten_ = extent;
  }
}

std::uint64_t ArchiveExpansion::allowance() const {
  std::uint64_t room =
      limits_.maxEntrySize > entryWritten_ ? limits_.maxEntrySize - entryWritten_ : 0;
  const std::uint64_t bound = ratioBound();
  // Growth up to the declared size adds nothing to the ratio total.
  const std::uint64_t ratioRoom =
      (bound > total_ ? bound - total_ : 0) + (entryBytes_ - std::min(entryBytes_, entryWritten_));
  room = std::min(room, ratioRoom);
  return std::min(room, budget_.remaining());
}

std::uint64_t ArchiveExpansion::ratioBound() const {
  if (containerSize_ == 0) return std::numeric_limits<std::uint64_t>::max() / 2;
  const double bound = limits_.maxCompressionRatio * static_cast<double>(containerSize_);
  if (bound >= static_cast<double>(std::numeric_limits<std::uint64_t>::max() / 2)) {
    return std::numeric_limits<std::uint64_t>::max() / 2;
  }
  return static_cast<std::uint64_t>(bound);
}

void ArchiveExpansion::checkRatio() const {
  if (containerSize_ == 0) return;
  const double ratio = static_cast<double>(total_) / static_cast<double>(containerSize_);
  if (ratio > limits_.maxCompressionRatio) {
    throw avwindows::ArchiveBombException("Possible zip bomb detected. Compression ratio: " +
                                          std::to_string(total_ / containerSize_) + ":1");
  }
}

}  // namespace norvid
