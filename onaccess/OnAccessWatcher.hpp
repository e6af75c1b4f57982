#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "onaccess/ConsoleWriter.hpp"
#include "onaccess/PathFilter.hpp"
#include "onaccess/ScanQueue.hpp"
#include "onaccess/ServiceLink.hpp"
#include "onaccess/VerdictCache.hpp"
#include "onaccess/WatchOptions.hpp"
#include "platform/FileAccessMonitor.hpp"

namespace norvid::onaccess {

// What the watcher did, for the summary at stop.
struct WatchSummary {
  // Files the service gave a verdict on (clean or threat).
  std::uint64_t scanned = 0;
  // Files the service answered about without a verdict (gone, excluded, unreadable).
  std::uint64_t withoutVerdict = 0;
  std::uint64_t threats = 0;
  std::uint64_t quarantined = 0;
  std::uint64_t denied = 0;
  std::uint64_t allowedWithoutVerdict = 0;
  std::uint64_t coalesced = 0;
  std::uint64_t overflows = 0;
  // Events the kernel could not hand over.
  std::uint64_t lost = 0;
  std::uint64_t refused = 0;
  // Files queued without their open file (opened again by path when scanned).
  std::uint64_t folded = 0;
  // Scans asked for again after no answer came.
  std::uint64_t retried = 0;
  // Walks for files changed while events were lost, and the files they queued.
  std::uint64_t catchUps = 0;
  std::uint64_t caughtUp = 0;
};

// The on-access watcher: reports every regular file closed after writing under the watched
// directories, and every file that gets a new name there (created, linked, moved in), to the
// service (`scan_realtime` with the file itself attached, which quarantines what is infected)
// and, with
// `blockExec`, holds each program start there until the verdict, denying it on a threat. Every
// held start is answered on every path: by the verdict, by the timeout (allowed), when the service
// is down (allowed) and at stop (allowed). Events caused by the service or by the watcher itself
// are let through at once and never scanned, so neither can wait on the other. A scan without an
// answer is asked for again (with growing pauses) until it has one. When events were lost (the
// kernel's queue or the watcher's own overflowed), the watched directories are walked at idle
// priority for the files changed since the watcher last knew it had seen everything.
class OnAccessWatcher {
 public:
  OnAccessWatcher(WatchOptions options, std::string socketPath, std::ostream& out,
                  std::ostream& err);
  ~OnAccessWatcher();
  OnAccessWatcher(const OnAccessWatcher&) = delete;
  OnAccessWatcher& operator=(const OnAccessWatcher&) = delete;

  // Marks the file systems, watches until requestStop(), then stops cleanly and prints the
  // summary. Returns 0 after a stop, 1 when watching could not start or could not go on.
  int run();

  // Ends run(). Safe from any thread, also before run() and more than once.
  void requestStop();

  WatchSummary summary() const;

 private:
  struct Counters {
    std::atomic<std::uint64_t> scanned{0}, withoutVerdict{0}, threats{0}, quarantined{0}, denied{0},
        allowedWithoutVerdict{0}, coalesced{0}, overflows{0}, lost{0}, refused{0}, folded{0},
        retried{0}, catchUps{0}, caughtUp{0};
  };
  // A held start and when its wait ends.
  struct Deadline {
    std::chrono::steady_clock::time_point at;
    std::weak_ptr<platform::PermissionRequest> start;
    std::string path;
  };

  bool startWatching();
  void handle(platform::FileAccessEvent& event);
  void handleWrite(platform::FileAccessEvent& event);
  void handleName(platform::FileAccessEvent& event);
  void handleStart(platform::FileAccessEvent& event);
  // Queues a scan of a written or newly named file (deferred while the service is down).
  void queueWrite(const std::string& path, const platform::FileStatus& identity, OpenFile content);
  void scanOne(ScanJob& job);
  void retryLater(ScanJob job);
  // Asks for a walk for files changed since the watcher last knew it had seen every event.
  void requestCatchUp();
  void catchUpLoop();
  void expireHeldStarts(bool all);
  void scanLoop(bool startsOnly);
  // Ends the workers' and the reconnector's waits for good.
  void wakeEveryone();
  void settle(const ScanJob& job, const ScanVerdict& verdict);
  void reconnectLoop();
  void defer(const std::string& path, const platform::FileStatus& identity);
  void rememberName(const std::string& path, const platform::FileStatus& identity);
  std::string latestName(const platform::FileStatus& identity);
  // `announced`: the service already announced the block with its answer; otherwise (a verdict
  // known here) the watcher writes the event itself.
  void deny(platform::PermissionRequest& start, const std::string& path, const std::string& threat,
            bool announced = false);
  void allowWithoutVerdict(platform::PermissionRequest& start, const std::string& path,
                           const std::string& reason);
  void noteServiceUp();
  void noteServiceDown(const std::string& reason);
  bool causedByUs(std::int32_t pid) const;
  void say(ConsoleWriter::Stream stream, std::string line);
  std::string seconds() const;

  const WatchOptions options_;
  ConsoleWriter console_;

  PathFilter filter_;
  ServiceLink link_;
  ScanQueue queue_;
  VerdictCache cache_;
  Counters counters_;
  const std::int32_t ownPid_;

  std::mutex monitorMutex_;
  platform::FileAccessMonitor monitor_;
  std::deque<Deadline> deadlines_;

  std::atomic<bool> stopping_{false};
  enum class ServiceState { Unknown, Up, Down };
  std::atomic<ServiceState> service_{ServiceState::Unknown};
  std::mutex deferredMutex_;
  std::map<std::string, platform::FileStatus> deferred_;
  std::mutex reconnectMutex_;
  std::condition_variable reconnectWake_;
  // Names given to files still open for writing then, by device and inode, so that a close whose
  // own name is gone by then is scanned under the file's new one.
  std::mutex namesMutex_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::string> recentNames_;
  // Wall-clock nanoseconds: every change before this moment was seen as an event.
  std::atomic<std::int64_t> seenAllAtNs_{0};
  std::mutex catchUpMutex_;
  std::condition_variable catchUpWake_;
  // The moment to walk from; 0 when no walk is asked for.
  std::int64_t catchUpSinceNs_ = 0;
  std::vector<std::thread> workers_;
  std::thread reconnector_;
  std::thread catchUp_;
};

}  // namespace norvid::onaccess
