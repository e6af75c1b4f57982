#pragma once

#include <chrono>

#include "platform/Clock.hpp"

namespace norvid::testing {

// A clock that reads whatever instant the test set.
class FixedClock final : public platform::Clock {
 public:
  explicit FixedClock(std::chrono::system_clock::time_point now) : now_(now) {}

  std::chrono::system_clock::time_point now() const override { return now_; }
  void set(std::chrono::system_clock::time_point now) { now_ = now; }

 private:
  std::chrono::system_clock::time_point now_;
};

}  // namespace norvid::testing
