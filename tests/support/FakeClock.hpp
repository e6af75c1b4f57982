#pragma once

#include <atomic>
#include <chrono>

#include "platform/Clock.hpp"

namespace norvid::testing {

// A clock that stands still until the test moves it. It may be read by other threads while the
// test moves it.
class FakeClock final : public platform::Clock {
 public:
  using TimePoint = std::chrono::system_clock::time_point;

  explicit FakeClock(TimePoint start) : ticks_(start.time_since_epoch().count()) {}
  TimePoint now() const override { return TimePoint(TimePoint::duration(ticks_.load())); }
  void set(TimePoint instant) { ticks_.store(instant.time_since_epoch().count()); }
  void advance(std::chrono::system_clock::duration by) { ticks_.fetch_add(by.count()); }

 private:
  std::atomic<TimePoint::rep> ticks_;
};

}  // namespace norvid::testing
