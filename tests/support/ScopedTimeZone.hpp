#pragma once

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace norvid::testing {

// Puts the process in a named time zone (TZ) for the life of the object and restores the previous
// setting afterwards. Converts between instants and local "YYYY-MM-DD HH:MM:SS" texts in it.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& zone) {
    if (const char* previous = std::getenv("TZ")) previous_ = previous;
    ::setenv("TZ", zone.c_str(), 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (previous_) {
      ::setenv("TZ", previous_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

  // The instant a local wall-clock text names, daylight saving as the zone has it that day.
  std::chrono::system_clock::time_point instant(const std::string& local) const {
    std::tm calendar{};
    std::istringstream in(local);
    in >> std::get_time(&calendar, "%Y-%m-%d %H:%M:%S");
    if (in.fail()) throw std::invalid_argument("bad local time: " + local);
    calendar.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&calendar));
  }

  // "YYYY-MM-DD HH:MM:SS +hhmm" of an instant in this zone.
  std::string format(std::chrono::system_clock::time_point instant) const {
    std::time_t seconds = std::chrono::system_clock::to_time_t(instant);
    std::tm calendar{};
    ::localtime_r(&seconds, &calendar);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %z", &calendar);
    return text;
  }

 private:
  std::optional<std::string> previous_;
};

}  // namespace norvid::testing
