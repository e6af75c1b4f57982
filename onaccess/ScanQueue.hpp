#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileAccessMonitor.hpp"
#include "platform/PermissionRequest.hpp"

namespace norvid::onaccess {

// A program start held until the verdict on its file.
using HeldStart = std::shared_ptr<platform::PermissionRequest>;

// One scan to ask the service for.
struct ScanJob {
  std::string path;
  platform::FileIdentity identity;
  // Program starts that wait for this scan's verdict.
  std::vector<HeldStart> held;
};

// The files waiting for a scan, one entry per path, and the paths being scanned. A path already
// waiting is not queued twice; a path written again while its scan runs is scanned once more
// after that scan (however often it was written), so a burst of writes costs at most two scans.
// Jobs that hold a program start are taken first. At most `capacity` paths wait; beyond that new
// paths are refused. Safe from any thread.
class ScanQueue {
 public:
  enum class Admission { Queued, Coalesced, Refused };

  explicit ScanQueue(std::size_t capacity);

  // Asks for a scan of `path`; `held` (may be null) waits for its verdict. Refused after close().
  Admission add(const std::string& path, const platform::FileIdentity& identity,
                HeldStart held = nullptr);

  // Waits for the next job; empty once close() was called. The job's path stays in flight until
  // finish(). With `startsOnly`, only jobs that hold a program start are taken, so that a taker
  // kept for them is never busy with a long scan of a written file.
  std::optional<ScanJob> take(bool startsOnly = false);

  // Ends the scan of `path`; when it was asked for again meanwhile, it is queued once more.
  void finish(const std::string& path);

  // Wakes every take() and refuses further work; waiting jobs are dropped (their held starts are
  // then answered by their last owner).
  void close();

  std::size_t waiting() const;

 private:
  struct Entry {
    platform::FileIdentity identity;
    std::vector<HeldStart> held;
  };
  struct InFlight {
    bool again = false;
    Entry next;
  };

  // REQUIRES: mutex_ held.
  void enqueue(const std::string& path, Entry entry);
  std::optional<std::string> popFrom(std::deque<std::string>& order);

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  bool closed_ = false;
  std::map<std::string, Entry> waiting_;
  // Paths in the order they came; an entry whose path is no longer waiting is skipped.
  std::deque<std::string> startOrder_;
  std::deque<std::string> writeOrder_;
  std::map<std::string, InFlight> inFlight_;
};

}  // namespace norvid::onaccess
