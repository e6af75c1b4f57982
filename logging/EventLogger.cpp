#include "logging/EventLogger.hpp"

#include <filesystem>
#include <system_error>

#include "platform/FileAccess.hpp"
#include "platform/FsCredentialsGuard.hpp"
#include "platform/LocalTime.hpp"

namespace norvid {
namespace {

constexpr std::streamoff kReopenSize = 10 * 1024 * 1024;
constexpr long long kMaxAgeHours = 720;

// Paths, names and identifiers in a line may come from a client; a control character among them
// could end the line and forge another, so every one is written as '?'.
std::string withoutControlCharacters(std::string text) {
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '?';
  }
  return text;
}

}  // namespace

EventLogger& EventLogger::instance() {
  static EventLogger logger(platform::SystemClock::instance());
  return logger;
}

EventLogger::EventLogger(const platform::Clock& clock) : clock_(clock) {}

const char* EventLogger::levelWord(LogLevel level) {
  switch (level) {
    case LogLevel::Warning:
      return "WRN";
    case LogLevel::Error:
      return "ERR";
    case LogLevel::Fatal:
      return "FTL";
    case LogLevel::Info:
    default:
      return "INF";
  }
}

std::string EventLogger::dailyFilePath(const std::string& date) const {
  return logDirectory_ + "/zr5k-core-" + date + ".log";
}

std::string EventLogger::logDirectory() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return logDirectory_;
}

void EventLogger::initialize(const std::string& directory, const std::string& administratorGroup) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (initialized_) return;
    platform::FsCredentialsGuard asService(CallerIdentity::service());
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
      throw std::filesystem::filesystem_error("create_directories", directory, error);
    }
    // Administrators may read the log; other users may not.
    administratorGroup_ = administratorGroup;
    platform::shareDirectoryWithAdministrators(directory, administratorGroup_);
    logDirectory_ = directory;
    currentDate_ = platform::logTimestamp(clock_.now()).substr(0, 10);
    openCurrentFile();
    initialized_ = true;
    purgeOldLogs();
  }
  info("EventLogger inicializado en " + logDirectory_);
}

void EventLogger::openCurrentFile() {
  if (file_.is_open()) file_.close();
  file_.clear();
  const std::string path = dailyFilePath(currentDate_);
  platform::shareFileWithAdministrators(path, administratorGroup_);
  file_.open(path, std::ios::out | std::ios::app);
}

void EventLogger::purgeOldLogs() {
  using namespace std::chrono;
  std::error_code error;
  auto now = file_clock::from_sys(clock_.now());
  std::filesystem::directory_iterator it(logDirectory_, error);
  if (error) return;
  for (std::filesystem::directory_iterator end; it != end; it.increment(error)) {
    if (error) return;
    const std::filesystem::directory_entry& entry = *it;
    bool regular = entry.is_regular_file(error);
    if (error) return;
    if (!regular || entry.path().extension() != ".log") continue;
    auto written = entry.last_write_time(error);
    if (error) return;
    long long ageHours = duration_cast<hours>(now - written).count();
    if (ageHours > kMaxAgeHours) {
      std::error_code ignored;
      std::filesystem::remove(entry.path(), ignored);
    }
  }
}

void EventLogger::log(LogLevel level, const std::string& message) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!initialized_) return;
  std::string date = platform::logTimestamp(clock_.now()).substr(0, 10);
  // A request's thread may be working with its caller's identity; the log is the service's own.
  platform::FsCredentialsGuard asService(CallerIdentity::service());
  if (date != currentDate_) {
    currentDate_ = date;
    openCurrentFile();
    purgeOldLogs();
  } else if (file_.is_open() && file_.tellp() > kReopenSize) {
    // The same day's file is reopened so a stream in a failed state gets a fresh start.
    openCurrentFile();
  }
  if (!file_.is_open()) return;
  file_ << platform::logTimestamp(clock_.now()) << " [" << levelWord(level) << "] "
        << withoutControlCharacters(message) << '\n';
  file_.flush();
}

void EventLogger::info(const std::string& message) { log(LogLevel::Info, message); }
void EventLogger::warning(const std::string& message) { log(LogLevel::Warning, message); }
void EventLogger::error(const std::string& message) { log(LogLevel::Error, message); }

void EventLogger::logServiceEvent(const std::string& event, const std::string& details) {
  std::string message = "Servicio: " + event;
  if (!details.empty()) message += " | " + details;
  log(LogLevel::Info, message);
}

void EventLogger::logScanEvent(const std::string& path, const std::string& result,
                               const std::string& threatName, std::int32_t filesScanned) {
  std::string message = "Escaneo " + result;
  if (filesScanned > 1) message += " (" + std::to_string(filesScanned) + " archivos)";
  message += ": " + path;
  if (!threatName.empty()) message += " | Amenaza: " + threatName;
  log(result == "INFECTED" ? LogLevel::Warning : LogLevel::Info, message);
}

void EventLogger::logRealtimeThreat(const std::string& path, const std::string& threatName,
                                    bool quarantined) {
  log(LogLevel::Warning, "Amenaza en tiempo real: " + path + " | " + threatName +
                             (quarantined ? " [CUARENTENA]" : " [NO CUARENTENADO]"));
}

void EventLogger::logRulesUpdated(std::int32_t ruleCount, const std::string& source) {
  log(LogLevel::Info,
      "Reglas actualizadas: " + std::to_string(ruleCount) + " reglas desde " + source);
}

void EventLogger::logAmsiEvent(const std::string& contentName, bool blocked,
                               const std::string& threatName) {
  if (blocked) {
    log(LogLevel::Warning, "AMSI: script malicioso bloqueado: " + contentName + " | " + threatName);
  } else {
    log(LogLevel::Info, "AMSI: script limpio: " + contentName);
  }
}

void EventLogger::logUsbEvent(const std::string& action, const std::string& details) {
  std::string message = "USB Control [" + action + "]";
  if (!details.empty()) message += " | " + details;
  bool warning = action == "disable" || action == "block";
  log(warning ? LogLevel::Warning : LogLevel::Info, message);
}

}  // namespace norvid
