#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

namespace norvid::onaccess {

// The service's answer about one file, as the watcher acts on it.
struct ScanVerdict {
  enum class Kind {
    Clean,
    Threat,
    // The service answered but gave no verdict (file gone, excluded, unreadable, ...).
    NoVerdict,
    // The service is not running.
    Unreachable,
    // No answer in time.
    TimedOut,
    // The watcher is stopping.
    Cancelled,
    // The request could not be sent (a path the service cannot take, a socket failure).
    Failed,
  };
  Kind kind = Kind::Failed;
  // Threat: the rule names. NoVerdict, Unreachable, Failed: the reason.
  std::string detail;
  bool quarantined = false;
};

// The watcher's side of the service socket: asks for `scan_realtime` of one file and reads the
// answer. It learns the service's process id from every connection (so events caused by the
// service itself can be told apart, also after a restart). Safe from any thread.
class ServiceLink {
 public:
  explicit ServiceLink(std::string socketPath);

  const std::string& socketPath() const { return socketPath_; }

  // Asks for a scan of the file open on `descriptor` (sent with the request; -1 for none, then
  // the service opens `path`). `path` names the file in the answer, the log and the quarantine.
  // `programStart`: a program start waits for the answer and is denied on a threat, which the
  // service then announces as a blocked start.
  ScanVerdict scan(const std::string& path, int descriptor,
                   std::chrono::steady_clock::time_point deadline,
                   const std::atomic<bool>* cancel = nullptr, bool programStart = false);

  // Asks for the service's status; true when it answered.
  bool probe(std::chrono::milliseconds timeout, const std::atomic<bool>* cancel = nullptr);

  // The service's process id as last seen; 0 before the first connection.
  std::int32_t servicePid() const { return servicePid_.load(); }

  // The request text for `path`; empty when the path cannot travel (not UTF-8, too long).
  static std::string requestFor(const std::string& path, bool programStart = false);

  // Reads a `scan_realtime` answer.
  static ScanVerdict readAnswer(const std::string& text);

 private:
  const std::string socketPath_;
  std::atomic<std::int32_t> servicePid_{0};
};

}  // namespace norvid::onaccess
