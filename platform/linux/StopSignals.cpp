#include "platform/StopSignals.hpp"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace norvid::platform {
namespace {

sigset_t stopSet() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  return set;
}

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop) : onStop_(std::move(onStop)) {
  sigset_t set = stopSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  watcher_ = std::thread([this] {
    sigset_t waited = stopSet();
    timespec slice{0, 200 * 1000 * 1000};
    while (!done_.load()) {
      if (sigtimedwait(&waited, nullptr, &slice) > 0) onStop_();
    }
  });
}

StopSignals::~StopSignals() {
  done_ = true;
  if (watcher_.joinable()) watcher_.join();
}

}  // namespace norvid::platform
