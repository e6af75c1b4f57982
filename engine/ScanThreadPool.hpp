#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace norvid {

// The threads that judge files for directory scans, shared by every request so that the service
// never runs more scans at once than it has cores. Tasks run in the order they were submitted.
// The threads are started under the service's own file-system identity; a task that acts for a
// caller takes that caller's identity itself.
class ScanThreadPool {
 public:
  // `threads` of 0 means one per online CPU. Each thread first runs `onThreadStart` (when given),
  // which may set what the thread is, such as its priority.
  explicit ScanThreadPool(std::size_t threads, std::function<void()> onThreadStart = {});
  // Runs the tasks already submitted, then joins the threads.
  ~ScanThreadPool();
  ScanThreadPool(const ScanThreadPool&) = delete;
  ScanThreadPool& operator=(const ScanThreadPool&) = delete;

  // The process-wide pool, started by the first call with `threads` threads (0: one per online
  // CPU); later calls return the same pool whatever they ask. It is never destroyed, so a stop
  // that ends the process while a task runs frees nothing under it.
  static ScanThreadPool& instance(std::size_t threads = 0);

  // Queues `task`. Tasks must not throw.
  void submit(std::function<void()> task);

  std::size_t threadCount() const { return threads_.size(); }

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace norvid
