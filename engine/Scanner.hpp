#pragma once

#include <cstdint>
#include <string>

#include "engine/ArchiveExtractor.hpp"
#include "engine/ExtractionBudget.hpp"
#include "engine/PeAnalyzer.hpp"
#include "engine/ScanResult.hpp"

namespace norvid {

class ExclusionsManager;
class YaraEngine;

// Decides the verdict on one file (existence, user exclusions, rule matches, archive members up
// to three levels deep, PE heuristics) and walks directories. Holds no state between calls, so
// several threads may scan at once. REQUIRES: `engine` outlives the scanner; `exclusions` may be
// null (no exclusions) and otherwise outlives it too.
class Scanner {
 public:
  Scanner(YaraEngine* engine, bool scanArchives, bool heuristicsEnabled,
          ExclusionsManager* exclusions);
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // The verdict on one file. Callers pass depth 0 and an empty container; the scanner itself
  // passes the nesting level and the archive for archive members. Never throws.
  ScanResult scanFile(const std::string& path, std::int32_t depth, const std::string& container);

  // Verdicts of every regular file below `path` in walk order (subdirectories too when
  // `recursive`), directory links not followed; a final ERROR entry for the root when the walk
  // fails. Never throws.
  DirectoryScanResult scanDirectory(const std::string& path, bool recursive);

  // Archives met at this depth are matched as a whole but not opened.
  static constexpr std::int32_t kMaxArchiveDepth = 3;

 private:
  // `budget` is the extraction budget of the top-level file an archive member came from; null for
  // a top-level file, which gets its own when it is an archive.
  ScanResult scanFileWithin(const std::string& path, std::int32_t depth,
                            const std::string& container, ExtractionBudget* budget);
  ScanResult examineFile(const std::string& path, std::int32_t depth, const std::string& container,
                         ExtractionBudget* budget);
  bool scanArchiveMembers(const std::string& path, std::int32_t depth, ScanResult& result,
                          ExtractionBudget* budget);

  YaraEngine* engine_;
  bool scanArchives_;
  bool heuristicsEnabled_;
  ArchiveExtractor extractor_;
  PeAnalyzer peAnalyzer_;
  ExclusionsManager* exclusions_;
};

}  // namespace norvid
