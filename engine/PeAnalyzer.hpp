#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "engine/PeAnalysisResult.hpp"
#include "platform/FileHandle.hpp"

namespace norvid {

// Gives Windows executables a heuristic second look: header and section table, byte entropy,
// packer section names, and a score with a risk level. Reads only inside the file and bounds
// every read (1 MiB per section, 10 MiB for the file, at most 96 sections). Read-only after
// construction, so one instance may serve several threads at once.
class PeAnalyzer {
 public:
  PeAnalyzer();

  // True when the path is a regular file that can be opened and starts with "MZ".
  bool isPeFile(const std::string& path) const;

  // Analyses the file. Never throws for unreadable or malformed files: those give isPE false and
  // one indicator naming the cause.
  PeAnalysisResult analyze(const std::string& path) const;

  // The same for the file open on `file` (read with bounded positional reads; the caller keeps
  // the descriptor). Bytes the file no longer has, as when it shrinks meanwhile, read as zero.
  PeAnalysisResult analyze(const platform::FileHandle& file) const;

  // Shannon entropy of a buffer in bits per byte; 0.0 for an empty buffer.
  static double entropy(const std::uint8_t* data, std::size_t size);

  // Risk level 0 to 4 of a score.
  static std::int32_t riskLevelForScore(std::int32_t score);

 private:
  // Section-name fragment -> packer name, tried in ascending byte order of the fragment.
  std::map<std::string, std::string> packerSignatures_;
};

}  // namespace norvid
