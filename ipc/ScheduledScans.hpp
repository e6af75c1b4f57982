#pragma once

#include <cstddef>
#include <stop_token>

#include "engine/ScanThreadPool.hpp"
#include "ipc/ReportCommands.hpp"
#include "scheduler/ScheduledTask.hpp"

namespace norvid {

// What a scheduled task does in the service: a report of each of its paths in turn, made as
// generate_report makes it, with the service's own identity. A path that is missing is logged and
// passed over; a cancelled scan (cancel_scan, or the service's stop) ends the task's run.
//
// Scheduled scans run in the background: the thread that walks the tree and the scan threads of
// their own pool run at background priority (nice 19, idle I/O class), so that the files of a
// person's own scan and of the on-access watcher, judged by the shared pool, are never queued
// behind them. REQUIRES: `reports` outlives this object.
class ScheduledScans {
 public:
  // `threads` scan threads (0: one per online CPU).
  ScheduledScans(ReportCommands& reports, std::size_t threads);

  // The runner's action for `task`. Lowers the calling thread to background priority for good:
  // call it on a thread of its own.
  void run(const ScheduledTask& task, std::stop_token stop);

  // The scan threads of scheduled scans.
  ScanThreadPool& pool() { return pool_; }

 private:
  ReportCommands& reports_;
  ScanThreadPool pool_;
};

}  // namespace norvid
