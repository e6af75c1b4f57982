#pragma once

#include <string>

#include "engine/ScanResult.hpp"
#include "ipc/ScanRegistry.hpp"
#include "platform/CallerIdentity.hpp"

namespace norvid {

class Scanner;

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
  // The directory scan's number in the registry; empty for a file or without a registry.
  std::string scanId;

  // `command` names the scan in the registry's listing.
  static PathScan run(Scanner& scanner, const std::string& path, const CallerIdentity& caller,
                      ScanRegistry* registry, const std::string& command);

  // Publishes the scan's events: one "threat found" per infected file, then "scan finished" for a
  // file or directory that was scanned. `scanId` replaces the registry's number (a report's id).
  void announce(const std::string& command, const std::string& path, const CallerIdentity& caller,
                const std::string& scanId = "") const;
};

}  // namespace norvid
