#include "engine/Scanner.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <deque>
#include <filesystem>
#include <future>
#include <iostream>
#include <optional>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/ArchiveBombException.hpp"
#include "engine/ExtractionDirectory.hpp"
#include "engine/ScanThreadPool.hpp"
#include "engine/YaraEngine.hpp"
#include "exclusions/ExclusionsManager.hpp"
#include "platform/FsCredentialsGuard.hpp"
#include "platform/ReadLease.hpp"
#include "platform/UserNames.hpp"

namespace norvid {
namespace {

namespace fs = std::filesystem;

// Files handed to the scan threads ahead of the oldest unfinished one, per thread: bounds the
// descriptors and verdicts a directory scan holds at once.
constexpr std::size_t kQueuedFilesPerThread = 8;

const char* const kBombReason = "Zip bomb detected";

// Each console line is written in one piece so that lines of concurrent scans do not interleave.
void printLine(std::ostream& stream, const std::string& text) { stream << (text + "\n"); }

std::string joinMatches(const std::vector<std::string>& matches) {
  std::string joined;
  for (const std::string& name : matches) {
    if (!joined.empty()) joined += ", ";
    joined += name;
  }
  return joined;
}

// An extracted member is scanned only when it is a regular file itself (not a link, device or
// FIFO) and resolves to a place inside its extraction directory.
bool isScannableMember(const std::string& member, const fs::path& canonicalRoot) {
  std::error_code error;
  if (!fs::is_regular_file(fs::symlink_status(member, error)) || error) return false;
  fs::path resolved = fs::canonical(member, error);
  if (error) return false;
  auto [rootEnd, resolvedAt] =
      std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), resolved.begin(), resolved.end());
  return rootEnd == canonicalRoot.end() && resolvedAt != resolved.end();
}

fs::filesystem_error systemFailure(const char* step, const std::string& path, int error) {
  return fs::filesystem_error(step, fs::path(path),
                              std::error_code(error, std::generic_category()));
}

// Runs `judge`, turning what it throws into the ERROR verdict of the file.
template <typename Judge>
ScanResult guarded(const std::string& path, std::int32_t depth, const std::string& container,
                   Judge&& judge) {
  try {
    return judge();
  } catch (const fs::filesystem_error& error) {
    return {path, ScanStatus::ERROR, std::string("Filesystem error: ") + error.what(), depth,
            container};
  } catch (const std::exception& error) {
    return {path, ScanStatus::ERROR, std::string("Error: ") + error.what(), depth, container};
  } catch (...) {
    return {path, ScanStatus::ERROR, "Error: unknown exception", depth, container};
  }
}

// The first bytes of the file, as many as the archive test needs (fewer for a shorter file).
std::vector<unsigned char> readHead(const platform::FileHandle& file, std::uint64_t size) {
  std::vector<unsigned char> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, ArchiveExtractor::kSniffBytes)));
  head.resize(file.readHead(head.data(), head.size()));
  return head;
}

std::int64_t nowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The kernel stamps file times from a clock that ticks every few milliseconds, so two writes
// within one tick leave the same times. A verdict is kept only for a file whose times lie well
// before the scan began: any write after the scan then stamps a later time.
constexpr std::int64_t kTimestampSettleNs = 100'000'000;

bool settledBefore(const platform::FileStatus& status, std::int64_t scanStartNs) {
  const std::int64_t limit = scanStartNs - kTimestampSettleNs;
  return status.modifiedNs < limit && status.changedNs < limit;
}

// Thrown by the walk's visitor to leave the walk once a cancel was requested.
struct WalkCancelled {};

// Takes the caller's file-system identity for the scope, unless the caller is the service itself:
// then the thread keeps whatever identity it already has.
class CallerScope {
 public:
  explicit CallerScope(const CallerIdentity& caller) {
    if (!caller.isPrivileged()) guard_.emplace(caller);
  }

 private:
  std::optional<platform::FsCredentialsGuard> guard_;
};

}  // namespace

Scanner::Scanner(YaraEngine* engine, bool scanArchives, bool heuristicsEnabled,
                 ExclusionsManager* exclusions, std::string extractionFolder)
    : Scanner(engine, scanArchives, heuristicsEnabled, exclusions, std::move(extractionFolder),
              &ScanThreadPool::instance()) {}

Scanner::Scanner(YaraEngine* engine, bool scanArchives, bool heuristicsEnabled,
                 ExclusionsManager* exclusions, std::string extractionFolder, ScanThreadPool* pool)
    : engine_(engine),
      scanArchives_(scanArchives),
      heuristicsEnabled_(heuristicsEnabled),
      extractor_(std::move(extractionFolder),
                 ArchiveLimits{kMaxArchiveDepth, 1000, 524'288'000, 100.0}),
      exclusions_(exclusions),
      pool_(pool) {
  ConsoleCapture::install();
}

Scanner::~Scanner() = default;

std::string Scanner::FileContext::knownPath(const std::string& path) const {
  for (auto root = extractionRoots.rbegin(); root != extractionRoots.rend(); ++root) {
    const std::string& directory = root->first;
    if (path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
        path[directory.size()] == '/') {
      return root->second + path.substr(directory.size());
    }
  }
  return path;
}


std::uint64_t Scanner::exclusionGeneration() const {
  return exclusions_ != nullptr ? exclusions_->generation() : 0;
}

bool Scanner::isExcluded(const std::string& path) {
  if (exclusions_ == nullptr || !exclusions_->isExcluded(path, "")) return false;
  printLine(std::cout, "[INFO] Archivo excluido de escaneo: " + path);
  return true;
}

ScanResult Scanner::scanFile(const std::string& path, std::int32_t depth,
                             const std::string& container, const CallerIdentity& caller,
                             CacheUse cacheUse) {
  return judgeAndKeep(path, depth, container, caller,
                      [&] { return judgePath(path, depth, container, cacheUse); });
}

ScanResult Scanner::scanOpenFile(const platform::FileHandle& file, const std::string& path,
                                 const CallerIdentity& caller) {
  return judgeAndKeep(path, 0, "", caller,
                      [&] { return judgeOpenFile(file, path, 0, "", CacheUse::Fresh); });
}

template <typename Judge>
ScanResult Scanner::judgeAndKeep(const std::string& path, std::int32_t depth,
                                 const std::string& container, const CallerIdentity& caller,
                                 Judge&& judge) {
  Verdict verdict;
  try {
    CallerScope identity(caller);
    verdict = judge();
    keep(verdict);
  } catch (const std::exception& error) {
    verdict.result = {path, ScanStatus::ERROR, std::string("Error: ") + error.what(), depth,
                      container};
  }
  ConsoleCapture::emit(verdict.console);
  return std::move(verdict.result);
}

Scanner::Verdict Scanner::judgePath(const std::string& path, std::int32_t depth,
                                    const std::string& container, CacheUse cacheUse) {
  // Archive members are never followed through a link; a file named by the caller may be.
  const platform::Result<platform::FileHandle> file = platform::openForScanning(path, depth == 0);
  if (file) return judgeOpenFile(*file, path, depth, container, cacheUse);
  const int error = file.failure().code;
  Verdict verdict;
  {
    ConsoleCapture capture(verdict.console);
    verdict.result = guarded(path, depth, container,
                             [&] { return judgeUnopened(path, depth, container, error); });
  }
  return verdict;
}

ScanResult Scanner::judgeUnopened(const std::string& path, std::int32_t depth,
                                  const std::string& container, int openError) {
  const fs::file_status status = depth > 0 ? fs::symlink_status(path) : fs::status(path);
  if (!fs::exists(status)) {
    return {path, ScanStatus::ERROR, "File does not exist", depth, container};
  }
  if (!fs::is_regular_file(status)) {
    return {path, ScanStatus::SKIPPED, "Not a regular file", depth, container};
  }
  if (openError != EACCES && openError != EPERM) {
    throw systemFailure("cannot open file", path, openError);
  }
  if (isExcluded(path)) return {path, ScanStatus::SKIPPED, "Excluded by user", depth, container};
  // A regular file this identity may not read: the rules cannot see it, like any unreadable file.
  return {path, ScanStatus::CLEAN, "", depth, container};
}

Scanner::Verdict Scanner::judgeOpenFile(const platform::FileHandle& file, const std::string& path,
                                        std::int32_t depth, const std::string& container,
                                        CacheUse cacheUse) {
  Verdict verdict;
  // Read before the exclusion check, so that a verdict made under a list that changes meanwhile
  // is kept under the old generation and never served.
  verdict.generation = exclusionGeneration();
  std::optional<VerdictCache::Verdict> cached;
  {
    ConsoleCapture capture(verdict.console);
    verdict.result = guarded(path, depth, container, [&]() -> ScanResult {
      const platform::Result<platform::FileStatus> status = file.status();
      if (!status) throw systemFailure("status", path, status.failure().code);
      if (!status->regular) {
        return {path, ScanStatus::SKIPPED, "Not a regular file", depth, container};
      }
      if (isExcluded(path)) {
        return {path, ScanStatus::SKIPPED, "Excluded by user", depth, container};
      }
      // The file is open under the caller's identity before its kept verdict is looked at, so a
      // caller who may not read the file never learns it. Only files whose times show every write
      // are kept.
      const bool cacheable =
          depth == 0 && container.empty() && platform::isOnLocalFileSystem(file.descriptor());
      if (cacheable && cacheUse == CacheUse::Reuse) {
        cached = cache_.find(path, *status, verdict.generation);
        if (cached) return cached->result;
      }
      const std::int64_t scanStartNs = nowNs();
      // No one may hold the file open for writing while it is read, or the verdict is not kept.
      platform::Result<platform::ReadLease> lease =
          cacheable ? platform::ReadLease::take(file.descriptor())
                    : platform::Result<platform::ReadLease>(platform::Failure{EINVAL, ""});
      FileContext context(status->size);
      ScanResult result = examine(file, *status, path, depth, container, context);
      const bool noWriter = lease && lease->intact();
      if (lease) lease->release();
      if (noWriter && context.keepable && result.status != ScanStatus::ERROR &&
          settledBefore(*status, scanStartNs)) {
        // A file written while it was judged may hold content the verdict never saw.
        const platform::Result<platform::FileStatus> after = file.status();
        if (after && after->sameVersionAs(*status)) verdict.keepFor = *status;
      }
      return result;
    });
  }
  if (cached) verdict.console = std::move(cached->console);
  return verdict;
}

void Scanner::keep(const Verdict& verdict) {
  if (verdict.keepFor) {
    cache_.store(verdict.result.path, *verdict.keepFor, verdict.generation,
                 {verdict.result, verdict.console});
  }
}

ScanResult Scanner::scanMember(const std::string& path, std::int32_t depth,
                               const std::string& container, FileContext& context) {
  return guarded(path, depth, container, [&]() -> ScanResult {
    const platform::Result<platform::FileHandle> file = platform::openForScanning(path, false);
    if (!file) return judgeUnopened(path, depth, container, file.failure().code);
    const platform::Result<platform::FileStatus> status = file->status();
    if (!status) throw systemFailure("status", path, status.failure().code);
    if (!status->regular) {
      return {path, ScanStatus::SKIPPED, "Not a regular file", depth, container};
    }
    if (isExcluded(path)) return {path, ScanStatus::SKIPPED, "Excluded by user", depth, container};
    return examine(*file, *status, path, depth, container, context);
  });
}

ScanResult Scanner::examine(const platform::FileHandle& file, const platform::FileStatus& status,
                            const std::string& path, std::int32_t depth,
                            const std::string& container, FileContext& context) {
  const std::vector<unsigned char> head = readHead(file, status.size);
  const bool isPe = heuristicsEnabled_ && head.size() >= 2 && head[0] == 'M' && head[1] == 'Z';
  std::vector<std::string> matches;
  if (engine_ != nullptr) {
    bool complete = true;
    if (context.extractionRoots.empty()) context.owner = platform::userNameOf(status.uid);
    const ScanVariables variables =
        ScanVariables::forPath(context.knownPath(path), context.owner);
    matches = engine_->scanOpenFile(file, status.size, path, &complete, &variables);
    if (!complete) context.keepable = false;
  }

  ScanResult result{path, ScanStatus::CLEAN, "", depth, container};
  if (!matches.empty()) {
    result.status = ScanStatus::INFECTED;
    result.threat = joinMatches(matches);
    if (isPe) {
      result.peAnalyzed = true;
      result.pe = peAnalyzer_.analyze(file);
    }
    return result;
  }

  if (scanArchives_ && depth < kMaxArchiveDepth &&
      extractor_.detectFormat(head.data(), head.size(), path) != "unknown") {
    if (scanArchiveMembers(file, path, depth, result, context)) return result;
  }

  if (isPe) {
    printLine(std::cout, "[INFO] Ejecutable PE detectado, realizando análisis heurístico...");
    result.peAnalyzed = true;
    result.pe = peAnalyzer_.analyze(file);
    if (result.pe.riskLevel >= 3) {
      printLine(std::cout,
                "[WARN] Análisis heurístico: Comportamiento sospechoso detectado (score: " +
                    std::to_string(result.pe.score) + "/100)");
    }
  }
  return result;
}

// Scans the members of an archive. True when that decided the verdict (a member matched, or
// the archive is a bomb) and `result` holds it; false when the file is to be judged as an
// ordinary file (clean members, or an archive that could not be opened).
bool Scanner::scanArchiveMembers(const platform::FileHandle& file, const std::string& path,
                                 std::int32_t depth, ScanResult& result, FileContext& context) {
  printLine(std::cout, "[INFO] Archivo comprimido detectado: " + path + " (profundidad " +
                           std::to_string(depth) + ")");
  try {
    // The extraction directory and the members in it are the service's own files.
    platform::FsCredentialsGuard service(CallerIdentity::service());
    ExtractionDirectory directory(extractor_, extractor_.createTempDirectory());
    context.extractionRoots.emplace_back(directory.path(), context.knownPath(path));
    struct RootScope {
      FileContext& context;
      ~RootScope() { context.extractionRoots.pop_back(); }
    } rootScope{context};
    std::vector<std::string> members =
        extractor_.extract(file.descriptor(), path, directory.path(), context.budget);
    const fs::path canonicalRoot = fs::canonical(directory.path());
    for (const std::string& member : members) {
      if (!isScannableMember(member, canonicalRoot)) continue;
      ScanResult inner = scanMember(member, depth + 1, path, context);
      if (inner.status == ScanStatus::INFECTED) {
        result.status = ScanStatus::INFECTED;
        result.threat = "Contains: " + inner.threat;
        return true;
      }
      // Once a member's extraction used up the top-level file's budget, every archive up to
      // that file is a bomb.
      if (context.budget.exhausted()) {
        throw avwindows::ArchiveBombException(ExtractionBudget::exhaustedMessage());
      }
    }
  } catch (const avwindows::ArchiveBombException& error) {
    printLine(std::cerr, std::string("[WARN] Zip bomb detectado: ") + error.what());
    result.status = ScanStatus::SKIPPED;
    result.threat = kBombReason;
    return true;
  } catch (const std::exception& error) {
    printLine(std::cerr,
              std::string("[WARN] Error al procesar archivo comprimido: ") + error.what());
    context.keepable = false;
  }
  return false;
}

Scanner::Verdict Scanner::judgeVisit(DirectoryWalker::Visit& visit, const CallerIdentity& caller) {
  Verdict verdict;
  if (visit.verdict) {
    verdict.result = std::move(*visit.verdict);
    if (!visit.warning.empty()) verdict.console.push_back({true, visit.warning + "\n"});
    return verdict;
  }
  try {
    CallerScope identity(caller);
    if (visit.file.isOpen()) return judgeOpenFile(visit.file, visit.path, 0, "");
    ConsoleCapture capture(verdict.console);
    verdict.result = guarded(visit.path, 0, "",
                             [&] { return judgeUnopened(visit.path, 0, "", visit.openError); });
  } catch (const std::exception& error) {
    verdict.result = {visit.path, ScanStatus::ERROR, std::string("Error: ") + error.what(), 0, ""};
  }
  return verdict;
}

DirectoryScanResult Scanner::scanDirectory(const std::string& path, bool recursive,
                                           const CallerIdentity& caller, ScanProgress* progress,
                                           ScanThreadPool* pool) {
  DirectoryScanResult results;
  scanDirectory(
      path, recursive, caller, progress,
      [&results](const ScanResult& result) { results.push_back(result); }, pool);
  return results;
}

void Scanner::scanDirectory(const std::string& path, bool recursive, const CallerIdentity& caller,
                            ScanProgress* progress, const VerdictSink& sink,
                            ScanThreadPool* pool) {
  ScanThreadPool* const judges = pool != nullptr ? pool : pool_;
  // Verdicts in walk order; the oldest is written out and appended as soon as it is ready. A file
  // whose scan thread found the scan cancelled before starting has no verdict and is left out.
  std::deque<std::future<std::optional<Verdict>>> pending;
  auto emitOldest = [&] {
    std::optional<Verdict> verdict = pending.front().get();
    pending.pop_front();
    if (!verdict) return;
    ConsoleCapture::emit(verdict->console);
    if (progress != nullptr) progress->fileJudged(verdict->result.status == ScanStatus::INFECTED);
    // What outlives the file's scan is allocated here, on the walking thread, and the scan
    // thread's copies are freed: libyara builds its module objects anew for every file on the
    // scan threads, and long-lived blocks left among them scatter those objects over the heap,
    // which makes every file's scan measurably slower.
    keep(*verdict);
    sink(verdict->result);
  };
  auto emitAll = [&] {
    while (!pending.empty()) emitOldest();
  };
  const std::size_t window =
      judges != nullptr ? std::max<std::size_t>(1, judges->threadCount()) * kQueuedFilesPerThread
                        : 1;
  // This scan's files take their turns on the pool with every other scan's.
  std::optional<ScanThreadPool::Queue> queue;
  if (judges != nullptr) queue.emplace(*judges);
  // Judges one visit unless the scan was cancelled meanwhile.
  auto judgeTracked = [this, progress](DirectoryWalker::Visit& visit,
                                       const CallerIdentity& identity) -> std::optional<Verdict> {
    if (progress != nullptr) {
      if (progress->cancelRequested()) return std::nullopt;
      progress->fileStarted(visit.path);
    }
    return judgeVisit(visit, identity);
  };

  try {
    CallerScope identity(caller);
    const fs::file_status status = fs::status(path);
    if (!fs::exists(status)) {
      sink({path, ScanStatus::ERROR, "Directory does not exist", 0, ""});
      return;
    }
    if (!fs::is_directory(status)) {
      sink({path, ScanStatus::ERROR, "Not a directory", 0, ""});
      return;
    }
    DirectoryWalker(recursive).walk(path, [&](DirectoryWalker::Visit&& found) {
      if (progress != nullptr && progress->cancelRequested()) throw WalkCancelled{};
      auto visit = std::make_shared<DirectoryWalker::Visit>(std::move(found));
      // Only an opened file is worth a scan thread; everything else is decided here.
      if (judges == nullptr || !visit->file.isOpen()) {
        std::promise<std::optional<Verdict>> ready;
        ready.set_value(judgeTracked(*visit, caller));
        pending.push_back(ready.get_future());
      } else {
        auto task = std::make_shared<std::packaged_task<std::optional<Verdict>()>>(
            [judgeTracked, visit, caller] { return judgeTracked(*visit, caller); });
        pending.push_back(task->get_future());
        queue->submit([task] { (*task)(); });
      }
      while (pending.size() >= window) emitOldest();
    });
    emitAll();
  } catch (const WalkCancelled&) {
    emitAll();
  } catch (const fs::filesystem_error& error) {
    emitAll();
    printLine(std::cerr, std::string("Error al recorrer directorio: ") + error.what());
    sink({path, ScanStatus::ERROR, std::string("Filesystem error: ") + error.what(), 0, ""});
  } catch (const std::exception& error) {
    emitAll();
    printLine(std::cerr, std::string("Error inesperado: ") + error.what());
    sink({path, ScanStatus::ERROR, std::string("Error: ") + error.what(), 0, ""});
  }
  // The scan threads' allocator arenas keep what a large scan freed unless it is handed back.
  platform::releaseFreeMemory();
}

}  // namespace norvid
