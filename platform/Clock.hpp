#pragma once

#include <chrono>

namespace norvid::platform {

// Wall-clock seam: components that stamp or age things take a Clock so tests can move time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() const = 0;
};

class SystemClock final : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::now();
  }

  // The process-wide real clock.
  static const Clock& instance() {
    static const SystemClock clock;
    return clock;
  }
};

}  // namespace norvid::platform
