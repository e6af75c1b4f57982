#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace norvid {

// The threads that judge files for directory scans, shared by every request so that the service
// never runs more scans at once than it has cores. Each submitter (one directory scan) queues its
// tasks in a queue of its own, and the threads take one task from each queue with work in turn,
// so a scan with a long backlog never holds back the tasks of another; within one queue tasks
// run in the order they were submitted. The threads are started under the service's own
// file-system identity; a task that acts for a caller takes that caller's identity itself.
class ScanThreadPool {
 public:
  // One submitter's queue. Tasks submitted through it take their turn with the other queues'.
  // It may be dropped while its tasks still wait: they run all the same.
  class Queue {
   public:
    explicit Queue(ScanThreadPool& pool) : pool_(pool), id_(pool.nextQueueId_.fetch_add(1)) {}
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;

    // Queues `task`, which must not throw.
    void submit(std::function<void()> task) { pool_.submitTo(id_, std::move(task)); }

   private:
    ScanThreadPool& pool_;
    const std::uint64_t id_;
  };

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

  // Queues `task` in the pool's shared queue. Tasks must not throw.
  void submit(std::function<void()> task) { submitTo(0, std::move(task)); }

  std::size_t threadCount() const { return threads_.size(); }

 private:
  void submitTo(std::uint64_t queue, std::function<void()> task);
  void run();

  std::atomic<std::uint64_t> nextQueueId_{1};
  std::mutex mutex_;
  std::condition_variable ready_;
  // The queues holding tasks, and their order of turns: each id in `turns_` once.
  std::map<std::uint64_t, std::deque<std::function<void()>>> queues_;
  std::deque<std::uint64_t> turns_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace norvid
