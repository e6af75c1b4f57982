#pragma once

#include <ctime>
#include <optional>

namespace norvid::platform {

// Breaks an instant down into the local calendar of the process time zone (TZ honoured).
std::tm toLocalCalendar(std::time_t instant);

// Turns local calendar fields back into an instant with the C library's carry: out-of-range
// fields roll into the next unit (day 32 of January is 1 February, hour 25 is 01:00 of the next
// day) and a negative `tm_isdst` lets the zone rules decide daylight saving for that date.
// `calendar` receives the normalised fields. Empty when the instant cannot be represented.
std::optional<std::time_t> fromLocalCalendar(std::tm& calendar);

}  // namespace norvid::platform
