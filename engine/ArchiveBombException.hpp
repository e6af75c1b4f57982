#pragma once

#include <stdexcept>

namespace avwindows {

// Thrown when an archive exceeds one of its extraction limits; the scanner reports such an
// archive as skipped.
class ArchiveBombException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace avwindows
