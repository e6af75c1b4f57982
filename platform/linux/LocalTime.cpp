#include "platform/LocalTime.hpp"

#include <time.h>

#include <cstdio>
#include <cstdlib>

namespace norvid::platform {
namespace {

std::tm localCalendar(std::time_t instant) {
  std::tm calendar{};
  ::localtime_r(&instant, &calendar);
  return calendar;
}

}  // namespace

std::string formatLocalTime(std::time_t instant, const char* pattern) {
  std::tm calendar = localCalendar(instant);
  char buffer[128];
  std::size_t length = std::strftime(buffer, sizeof buffer, pattern, &calendar);
  return std::string(buffer, length);
}

std::string formatLocalNow(const char* pattern) {
  return formatLocalTime(std::time(nullptr), pattern);
}

long localUtcOffsetSeconds(std::time_t instant) { return localCalendar(instant).tm_gmtoff; }

std::string logTimestamp(std::chrono::system_clock::time_point instant) {
  using namespace std::chrono;
  std::time_t seconds = system_clock::to_time_t(instant);
  auto sinceEpoch = instant.time_since_epoch();
  long long millis = duration_cast<milliseconds>(sinceEpoch).count() % 1000;
  if (millis < 0) millis += 1000;
  std::tm calendar = localCalendar(seconds);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &calendar);
  long offset = calendar.tm_gmtoff;
  char sign = offset < 0 ? '-' : '+';
  long magnitude = std::labs(offset);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%s.%03lld %c%02ld:%02ld", date, millis, sign,
                magnitude / 3600, (magnitude % 3600) / 60);
  return stamp;
}

}  // namespace norvid::platform
