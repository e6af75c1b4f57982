#pragma once

#include <stop_token>
#include <string>

#include "engine/ScanResult.hpp"
#include "ipc/ScanRegistry.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

class Scanner;
class ScanThreadPool;

// The scan of a path named by a caller, shared by the scan and report commands: the path is
// looked at and examined with the caller's file-system identity (a path it cannot reach counts as
// missing), a directory is walked whole and listed in `registry` (when given) while it runs.
struct PathScan {
  enum class Kind { Missing, File, Directory, Other };

  Kind kind = Kind::Missing;
  // One verdict for a file; the directory's verdicts in walk order.
  DirectoryScanResult results;
  // The directory scan was cancelled; `results` holds the files judged before that.
  bool cancelled = false;

  // `command` (and `taskId`, for a scheduled task) names the scan in the registry's listing. A
  // stop requested through `stop` cancels a directory scan like cancel_scan does. `pool`, when
  // given, judges a directory's files instead of the scanner's own pool.
  static PathScan run(Scanner& scanner, const std::string& path, const CallerIdentity& caller,
                      ScanRegistry* registry, const std::string& command,
                      const std::string& taskId = "", std::stop_token stop = {},
                      ScanThreadPool* pool = nullptr);
};

}  // namespace norvid
