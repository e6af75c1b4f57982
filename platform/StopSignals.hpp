#pragma once

#include <atomic>
#include <functional>
#include <thread>

namespace norvid::platform {

// Turns SIGINT and SIGTERM into a call of `onStop` on a thread of its own. Construct it before
// any other thread starts, so that every thread inherits the blocked signals.
class StopSignals {
 public:
  explicit StopSignals(std::function<void()> onStop);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  std::function<void()> onStop_;
  std::atomic<bool> done_{false};
  std::thread watcher_;
};

}  // namespace norvid::platform
