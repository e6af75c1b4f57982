#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/Scanner.hpp"
#include "ipc/ScanRegistry.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

class ScanThreadPool;

// The scan of a path named by a caller, shared by the scan and report commands: the path is
// looked at and examined with the caller's file-system identity (a path it cannot reach counts as
// missing), a directory is walked whole and listed in `registry` (when given) while it runs.
// The verdicts go to the caller's sink as they are made, so a scan of any tree holds only what
// the sink keeps.
struct PathScan {
  enum class Kind { Missing, File, Directory, Other };

  Kind kind = Kind::Missing;
  // The directory scan was cancelled; the sink got the verdicts of the files judged before that.
  bool cancelled = false;
  // The directory scan's number in the registry; empty for a file or without a registry.
  std::string scanId;
  // Verdicts the sink received, and the infected ones among them.
  struct Threat {
    std::string path;
    std::string name;
  };
  std::int64_t filesJudged = 0;
  std::vector<Threat> infected;

  // `sink` receives the file's one verdict, or the directory's in walk order. `command` (and
  // `taskId`, for a scheduled task) names the scan in the registry's listing. A directory scan
  // stops at the next file once `hungUp` (when given: the request's client hung up) turns true,
  // and a stop requested through `stop` cancels it like cancel_scan does. `pool`, when given,
  // judges a directory's files instead of the scanner's own pool.
  static PathScan run(Scanner& scanner, const std::string& path, const CallerIdentity& caller,
                      ScanRegistry* registry, const std::string& command,
                      const Scanner::VerdictSink& sink, const std::atomic<bool>* hungUp = nullptr,
                      const std::string& taskId = "", std::stop_token stop = {},
                      ScanThreadPool* pool = nullptr);

  // Publishes the scan's events: one "threat found" per infected file, then "scan finished" for a
  // file or directory that was scanned. `scanId` replaces the registry's number (a report's id).
  void announce(const std::string& command, const std::string& path, const CallerIdentity& caller,
                const std::string& scanId = "") const;
};

}  // namespace norvid
