#pragma once

#include <cstdint>

namespace norvid {

// Bounds that keep one archive extraction from exhausting the disk or the scanner's time. The
// defaults are the service's own limits.
struct ArchiveLimits {
  // Archives met at this nesting depth are matched as a whole but not opened; the scanner takes
  // its bound from here.
  std::int32_t maxDepth = 3;
  // More entry headers than this in one archive is a bomb.
  std::int32_t maxEntries = 1000;
  // An entry declaring more bytes is skipped; one that writes more is a bomb.
  std::uint64_t maxEntrySize = 524'288'000;
  // Bytes unpacked so far divided by the archive's file size above this is a bomb.
  double maxCompressionRatio = 100.0;
};

}  // namespace norvid
