#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "norvid/Version.hpp"
#include "platform/AdministratorGroup.hpp"

namespace norvid {

// The outcome of one report scan, filled while the results are walked and then written as a
// JSON and an HTML report file. The fields are public so that callers read them for the response.
class ScanReport {
 public:
  // Separates the file from the threat or error text in `threats` and `error_details`.
  static constexpr const char* kSeparator = " | ";
  static constexpr const char* kEngineVersion = kVersion;

  std::string scan_id;
  std::string scan_type;
  std::string target_path;
  std::string start_time;
  std::string end_time;
  double duration_seconds = 0.0;
  std::int32_t files_scanned = 0;
  std::int32_t threats_found = 0;
  std::int32_t errors = 0;
  std::int32_t skipped = 0;
  std::vector<std::string> threats;
  std::vector<std::string> error_details;
  std::int64_t rules_loaded = 0;
  std::string engine_version = kEngineVersion;
  // The scan was stopped by a cancel request: the report covers only the files judged before.
  bool cancelled = false;

  // Resets the record, draws a new identifier and stamps the start (local time and monotonic).
  void begin(const std::string& scanType, const std::string& targetPath);

  // Counts one file by its status word ("CLEAN", "INFECTED", "ERROR", "SKIPPED"); an infected
  // file is listed with its threat text when that text is not empty.
  void addResult(const std::string& path, const std::string& status, const std::string& threat);

  // Counts one file that could not be examined and lists it with the reason.
  void addError(const std::string& path, const std::string& message);

  // Stamps the end, records the rule count and returns the duration in seconds.
  double finish(std::int64_t rulesLoaded);

  // Creates `reportsDir` (parents too) and writes "scan-<id>.json" and "scan-<id>.html" there,
  // readable by `administratorGroup`.
  // When a report of the same identifier already exists a new identifier is drawn, so no report
  // is ever replaced. Returns the JSON path. Throws std::filesystem::filesystem_error when the
  // directory cannot be created and std::runtime_error when a report cannot be written (nothing
  // of this report is then left behind).
  std::string saveReports(
      const std::string& reportsDir,
      const std::string& administratorGroup = platform::kDefaultAdministratorGroup);

  // Removes what saves cut short by a crash left in `reportsDir`: the temporary files of atomic
  // writes, and the claimed "scan-<id>.html" name of a report whose JSON file was never written
  // (still empty). Complete reports are left alone. REQUIRES: no report is being saved there.
  static void removeInterruptedSaves(const std::string& reportsDir);

  // Writes the report to `path` atomically: the HTML text when the extension is ".html" or ".htm"
  // (any letter case), the JSON text otherwise. Returns false, with the cause in `error`, when the
  // file cannot be written; the old file is then untouched. The file is readable by
  // `administratorGroup`.
  bool writeReport(const std::string& path, std::string* error = nullptr,
                   const std::string& administratorGroup =
                       platform::kDefaultAdministratorGroup) const;

  std::string toJson() const;
  std::string toHtml() const;

  // A fresh identifier: seconds since 1970-01-01 UTC, '-', and a random number 1000..9999.
  static std::string generateScanId();

 private:
  std::chrono::steady_clock::time_point startTick_{};
};

}  // namespace norvid
