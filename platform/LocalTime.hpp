#pragma once

#include <chrono>
#include <ctime>
#include <string>

namespace norvid::platform {

// Formats an instant as local calendar time with a strftime pattern ("%Y-%m-%d %H:%M:%S").
std::string formatLocalTime(std::time_t instant, const char* pattern);

// The same for the current wall-clock time, at whole-second resolution.
std::string formatLocalNow(const char* pattern);

// The 30-character event-log stamp: "2025-03-07 14:05:09.042 +01:00" (local time, milliseconds,
// the zone offset in force at that instant).
std::string logTimestamp(std::chrono::system_clock::time_point instant);

// Local zone offset from UTC in seconds at the given instant (east positive).
long localUtcOffsetSeconds(std::time_t instant);

}  // namespace norvid::platform
