#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/ArchiveExtractor.hpp"
#include "engine/ConsoleCapture.hpp"
#include "engine/DirectoryWalker.hpp"
#include "engine/ExtractionBudget.hpp"
#include "engine/PeAnalyzer.hpp"
#include "engine/ScanProgress.hpp"
#include "engine/ScanResult.hpp"
#include "engine/VerdictCache.hpp"
#include "platform/CallerIdentity.hpp"
#include "platform/FileHandle.hpp"
#include "platform/ScanIo.hpp"

namespace norvid {

class ExclusionsManager;
class ScanThreadPool;
class YaraEngine;

// Decides the verdict on one file (existence, user exclusions, rule matches, archive members up
// to three levels deep, PE heuristics) and walks directories. Each file is opened once, without
// blocking, and judged from that one descriptor. Directory scans hand the files to a pool of scan
// threads and return the verdicts, and write their console lines, in walk order. Verdicts on
// unchanged files of local file systems are kept and replayed (console lines included) until the
// exclusion list changes; a rule reload builds a new scanner and so starts afresh.
//
// Files are opened and read with `caller`'s file-system identity; extraction of archives and the
// scan of their members run with the service's own. Several threads may scan at once.
// REQUIRES: `engine` outlives the scanner; `exclusions` may be null (no exclusions) and otherwise
// outlives it too.
class Scanner {
 public:
  // Archives are extracted into temporary directories inside `extractionFolder` (see
  // ArchiveExtractor). Directory scans use the process-wide scan thread pool.
  Scanner(YaraEngine* engine, bool scanArchives, bool heuristicsEnabled,
          ExclusionsManager* exclusions, std::string extractionFolder);
  // Directory scans use `pool`; null judges every file on the calling thread.
  Scanner(YaraEngine* engine, bool scanArchives, bool heuristicsEnabled,
          ExclusionsManager* exclusions, std::string extractionFolder, ScanThreadPool* pool);
  // The extraction folder is a path: a null pointer in its place (where the pool once stood)
  // does not compile, rather than failing when the scanner is built.
  Scanner(YaraEngine*, bool, bool, ExclusionsManager*, std::nullptr_t) = delete;
  Scanner(YaraEngine*, bool, bool, ExclusionsManager*, std::nullptr_t, ScanThreadPool*) = delete;
  ~Scanner();
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;

  // Whether a verdict kept for the unchanged file may answer. Scans made because a file was just
  // written ask for a fresh one.
  enum class CacheUse { Reuse, Fresh };

  // The verdict on one file. Callers pass depth 0 and an empty container; the scanner itself
  // passes the nesting level and the archive for archive members. The default caller keeps the
  // identity the calling thread already has. Never throws.
  ScanResult scanFile(const std::string& path, std::int32_t depth, const std::string& container,
                      const CallerIdentity& caller = CallerIdentity::service(),
                      CacheUse cacheUse = CacheUse::Reuse);

  // The fresh verdict on the file open on `file`, named `path` in the result, exclusions and
  // console lines; the path is never opened. Never throws.
  ScanResult scanOpenFile(const platform::FileHandle& file, const std::string& path,
                          const CallerIdentity& caller = CallerIdentity::service());

  // Verdicts of every regular file below `path` in walk order (subdirectories too when
  // `recursive`), directory links not followed, at most DirectoryWalker::kMaxDepth levels deep.
  // With `progress`, every file is counted there as it is judged, and a cancel request stops the
  // walk at the next file: the verdicts of the files already judged are returned. `pool`, when
  // given, judges the files instead of the scanner's own pool (a background scan's own threads).
  // Never throws.
  DirectoryScanResult scanDirectory(const std::string& path, bool recursive,
                                    const CallerIdentity& caller = CallerIdentity::service(),
                                    ScanProgress* progress = nullptr,
                                    ScanThreadPool* pool = nullptr);

  // Receives each verdict of a directory scan as it is made, in walk order, on the calling
  // thread; what it keeps it copies.
  using VerdictSink = std::function<void(const ScanResult&)>;
  // As above, but each verdict goes to `sink` instead of a list, so the scan holds only the
  // verdicts still pending whatever the size of the tree.
  void scanDirectory(const std::string& path, bool recursive, const CallerIdentity& caller,
                     ScanProgress* progress, const VerdictSink& sink,
                     ScanThreadPool* pool = nullptr);

  // Archives met at this depth are matched as a whole but not opened.
  static constexpr std::int32_t kMaxArchiveDepth = 3;

  // Verdicts kept for unchanged files.
  std::size_t cachedVerdicts() const { return cache_.size(); }
  // The cache itself, for a store that keeps it across restarts.
  VerdictCache& verdictCache() { return cache_; }

 private:
  struct Verdict {
    ScanResult result;
    ConsoleCapture::Record console;
    // Set when the verdict may be kept for the unchanged file: its status when it was judged,
    // and the exclusion list's generation then.
    std::optional<platform::FileStatus> keepFor;
    std::uint64_t generation = 0;
  };
  // What the judging of one top-level file shares across its nesting levels.
  struct FileContext {
    explicit FileContext(std::uint64_t fileSize)
        : budget(ExtractionBudget::forTopLevelFile(fileSize)) {}

    ExtractionBudget budget;
    // Cleared when the verdict depended on something passing (a time limit, a failed extraction)
    // and must not be kept.
    bool keepable = true;
    // The top-level file's owner, which the rules see for its archive members too.
    std::string owner;
    // Open extraction directories, each with the path its archive is known by: a member is shown
    // to the rules below its archive, never below the temporary directory.
    std::vector<std::pair<std::string, std::string>> extractionRoots;

    // The path a user knows `path` by.
    std::string knownPath(const std::string& path) const;
  };

  Verdict judgePath(const std::string& path, std::int32_t depth, const std::string& container,
                    CacheUse cacheUse);
  // Runs `judge` with `caller`'s identity, keeps its verdict when it may be kept and writes its
  // console lines; a failure becomes the file's ERROR verdict.
  template <typename Judge>
  ScanResult judgeAndKeep(const std::string& path, std::int32_t depth, const std::string& container,
                          const CallerIdentity& caller, Judge&& judge);
  // Keeps a verdict made for an unchanged file in the cache, when it may be kept.
  void keep(const Verdict& verdict);
  Verdict judgeOpenFile(const platform::FileHandle& file, const std::string& path,
                        std::int32_t depth, const std::string& container,
                        CacheUse cacheUse = CacheUse::Reuse);
  ScanResult judgeUnopened(const std::string& path, std::int32_t depth,
                           const std::string& container, int openError);
  ScanResult scanMember(const std::string& path, std::int32_t depth, const std::string& container,
                        FileContext& context);
  ScanResult examine(const platform::FileHandle& file, const platform::FileStatus& status,
                     const std::string& path, std::int32_t depth, const std::string& container,
                     FileContext& context);
  bool scanArchiveMembers(const platform::FileHandle& file, const std::string& path,
                          std::int32_t depth, ScanResult& result, FileContext& context);
  bool isExcluded(const std::string& path);
  std::uint64_t exclusionGeneration() const;
  Verdict judgeVisit(DirectoryWalker::Visit& visit, const CallerIdentity& caller);

  YaraEngine* engine_;
  bool scanArchives_;
  bool heuristicsEnabled_;
  ArchiveExtractor extractor_;
  PeAnalyzer peAnalyzer_;
  ExclusionsManager* exclusions_;
  ScanThreadPool* pool_;
  VerdictCache cache_;
};

}  // namespace norvid
