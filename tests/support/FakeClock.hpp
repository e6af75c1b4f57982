#pragma once

#include <chrono>

#include "platform/Clock.hpp"

namespace norvid::testing {

// A clock that stands still until the test moves it.
class FakeClock final : public platform::Clock {
 public:
  explicit FakeClock(std::chrono::system_clock::time_point start) : now_(start) {}
  std::chrono::system_clock::time_point now() const override { return now_; }
  void set(std::chrono::system_clock::time_point instant) { now_ = instant; }
  void advance(std::chrono::system_clock::duration by) { now_ += by; }

 private:
  std::chrono::system_clock::time_point now_;
};

}  // namespace norvid::testing
