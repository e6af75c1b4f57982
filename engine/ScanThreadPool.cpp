#include "engine/ScanThreadPool.hpp"

#include <utility>

#include "platform/FsCredentialsGuard.hpp"

namespace norvid {

ScanThreadPool::ScanThreadPool(std::size_t threads, std::function<void()> onThreadStart) {
  if (threads == 0) threads = std::thread::hardware_concurrency();
  if (threads == 0) threads = 1;
  // A thread inherits the kernel identity of its creator while its own bookkeeping starts at the
  // service's, so the threads are created under the service's identity.
  platform::FsCredentialsGuard service(CallerIdentity::service());
  threads_.reserve(threads);
  for (std::size_t i = 0; i < threads; ++i) {
    threads_.emplace_back([this, onThreadStart] {
      if (onThreadStart) onThreadStart();
      run();
    });
  }
}

ScanThreadPool::~ScanThreadPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

ScanThreadPool& ScanThreadPool::instance(std::size_t threads) {
  static ScanThreadPool* pool = new ScanThreadPool(threads);
  return *pool;
}

void ScanThreadPool::submitTo(std::uint64_t queue, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    std::deque<std::function<void()>>& tasks = queues_[queue];
    if (tasks.empty()) turns_.push_back(queue);
    tasks.push_back(std::move(task));
  }
  ready_.notify_one();
}

void ScanThreadPool::run() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ready_.wait(lock, [this] { return stopping_ || !turns_.empty(); });
      if (turns_.empty()) return;
      const std::uint64_t queue = turns_.front();
      turns_.pop_front();
      auto tasks = queues_.find(queue);
      task = std::move(tasks->second.front());
      tasks->second.pop_front();
      // A queue with more work takes its next turn after every other queue's.
      if (tasks->second.empty()) {
        queues_.erase(tasks);
      } else {
        turns_.push_back(queue);
      }
    }
    task();
  }
}

}  // namespace norvid
