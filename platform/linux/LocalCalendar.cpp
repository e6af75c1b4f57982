#include "platform/LocalCalendar.hpp"

#include <time.h>

namespace norvid::platform {

std::tm toLocalCalendar(std::time_t instant) {
  std::tm calendar{};
  ::localtime_r(&instant, &calendar);
  return calendar;
}

std::optional<std::time_t> fromLocalCalendar(std::tm& calendar) {
  // mktime's -1 is also a valid instant (one second before the epoch); it sets tm_wday only on
  // success, so an impossible weekday left in place marks the failure.
  calendar.tm_wday = -1;
  std::time_t instant = ::mktime(&calendar);
  if (instant == static_cast<std::time_t>(-1) && calendar.tm_wday == -1) return std::nullopt;
  return instant;
}

}  // namespace norvid::platform
