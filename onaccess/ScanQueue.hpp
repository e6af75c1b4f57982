#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileAccessMonitor.hpp"
#include "platform/FileHandle.hpp"
#include "platform/PermissionRequest.hpp"

namespace norvid::onaccess {

// A program start held until the verdict on its file.
using HeldStart = std::shared_ptr<platform::PermissionRequest>;
// The file an event named, open read-only; what is scanned, whatever the path names by then.
using OpenFile = std::shared_ptr<const platform::FileHandle>;

// One scan to ask the service for.
struct ScanJob {
  std::string path;
  platform::FileStatus identity;
  // Program starts that wait for this scan's verdict.
  std::vector<HeldStart> held;
  // Null when the file is to be opened by its path when the scan starts.
  OpenFile content;
  // Scans of this file asked for before without an answer.
  int attempts = 0;
};

// The files waiting for a scan, one entry per path, and the paths being scanned. A path already
// waiting is not queued twice; a path written again while its scan runs is scanned once more
// after that scan (however often it was written). No scan of a path starts sooner than
// `rescanInterval` after the scan before it, so a file rewritten without pause is scanned a few
// times a second and not once per write. Jobs that hold a program start are never held back and
// are taken first. At most `capacity` paths wait; beyond that new paths are refused. Only the
// first `openCapacity` waiting paths keep their open file (each holds a descriptor); paths queued
// beyond that are folded to the path alone and opened again when their scan starts. Safe from
// any thread.
class ScanQueue {
 public:
  enum class Admission { Queued, Folded, Coalesced, Refused };

  using Clock = std::chrono::steady_clock;

  explicit ScanQueue(std::size_t capacity,
                     std::chrono::milliseconds rescanInterval = std::chrono::milliseconds(0),
                     std::size_t openCapacity = SIZE_MAX);

  // Asks for a scan of `path` (open as `content`, may be null); `held` (may be null) waits for
  // its verdict. The latest file asked about is the one scanned. Refused after close().
  Admission add(const std::string& path, const platform::FileStatus& identity,
                HeldStart held = nullptr, OpenFile content = nullptr);

  // Asks again, no sooner than `delay` from now, for the scan `job` that got no answer; program
  // starts it held are not kept. Coalesced with a scan of the path already asked for.
  Admission retry(ScanJob job, std::chrono::milliseconds delay);

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
    platform::FileStatus identity;
    std::vector<HeldStart> held;
    OpenFile content;
    int attempts = 0;
  };
  struct InFlight {
    Clock::time_point started;
    bool again = false;
    Entry next;
  };
  struct Cooling {
    Clock::time_point readyAt;
    Entry entry;
  };

  // REQUIRES: mutex_ held.
  void enqueue(const std::string& path, Entry entry);
  std::optional<std::string> popFrom(std::deque<std::string>& order);
  void forgetOldScans(Clock::time_point now);
  // Queues the rescans whose time has come; returns when the next one is due.
  std::optional<Clock::time_point> promoteCooled(Clock::time_point now);

  // Lets go of the entry's open file when too many are kept already.
  Admission keepOrFold(Entry& entry) const;

  const std::size_t capacity_;
  const std::chrono::milliseconds rescanInterval_;
  const std::size_t openCapacity_;
  mutable std::mutex mutex_;
  std::condition_variable ready_;
  bool closed_ = false;
  std::map<std::string, Entry> waiting_;
  // Paths in the order they came; an entry whose path is no longer waiting is skipped.
  std::deque<std::string> startOrder_;
  std::deque<std::string> writeOrder_;
  std::map<std::string, InFlight> inFlight_;
  // Rescans waiting for their interval to pass.
  std::map<std::string, Cooling> cooling_;
  // When the latest scans started, oldest first, for as long as they hold back a rescan.
  std::map<std::string, Clock::time_point> recent_;
  std::deque<std::pair<Clock::time_point, std::string>> recentOrder_;
};

}  // namespace norvid::onaccess
