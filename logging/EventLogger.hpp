#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>

#include "platform/AdministratorGroup.hpp"
#include "platform/Clock.hpp"

namespace norvid {

enum class LogLevel { Info = 0, Warning = 1, Error = 2, Fatal = 3 };

// The process-wide daily event log: one file "zr5k-core-YYYY-MM-DD.log" per local date in the log
// directory, one flushed line per event, files older than 720 hours purged at start and at each
// date change. Lines written before initialize() are dropped. Safe to call from any thread.
class EventLogger {
 public:
  static EventLogger& instance();

  // A logger of its own, for tests: the clock decides the date, the stamps and the purge age.
  explicit EventLogger(const platform::Clock& clock);
  EventLogger(const EventLogger&) = delete;
  EventLogger& operator=(const EventLogger&) = delete;

  // Opens the log in `directory`, creating it (parents too); the
  // directory and its files are readable by `administratorGroup`. Only the first call counts.
  // Throws std::filesystem::filesystem_error when the directory cannot be made.
  void initialize(const std::string& directory,
                  const std::string& administratorGroup = platform::kDefaultAdministratorGroup);

  void log(LogLevel level, const std::string& message);
  void info(const std::string& message);
  void warning(const std::string& message);
  void error(const std::string& message);

  void logServiceEvent(const std::string& event, const std::string& details);
  void logScanEvent(const std::string& path, const std::string& result,
                    const std::string& threatName, std::int32_t filesScanned);
  void logRealtimeThreat(const std::string& path, const std::string& threatName,
                         bool quarantined);
  void logRulesUpdated(std::int32_t ruleCount, const std::string& source);
  void logAmsiEvent(const std::string& contentName, bool blocked, const std::string& threatName);
  void logUsbEvent(const std::string& action, const std::string& details);

  // The directory given to initialize() (empty before).
  std::string logDirectory() const;

  // Path of the daily file of a date ("2025-03-07").
  std::string dailyFilePath(const std::string& date) const;

  static const char* levelWord(LogLevel level);

 private:
  void openCurrentFile();
  void purgeOldLogs();

  const platform::Clock& clock_;
  std::ofstream file_;
  mutable std::mutex mutex_;
  std::string logDirectory_;
  std::string administratorGroup_;
  std::string currentDate_;
  bool initialized_ = false;
};

}  // namespace norvid
