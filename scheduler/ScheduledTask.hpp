#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace norvid {

enum class ScheduleFrequency : std::int32_t { Disabled = 0, Daily = 1, Weekly = 2, Monthly = 3 };

enum class ScheduledScanType : std::int32_t { Quick = 0, Full = 1, Custom = 2 };

// One scheduled scan. Hour, minute and the days are not range-checked: the calendar arithmetic
// carries out-of-range values into the next unit.
struct ScheduledTask {
  std::string id;
  bool enabled = true;
  ScheduleFrequency frequency = ScheduleFrequency::Daily;
  std::int32_t hour = 0;
  std::int32_t minute = 0;
  std::int32_t day_of_week = -1;   // 0 = Sunday ... 6 = Saturday; weekly tasks only
  std::int32_t day_of_month = -1;  // 1 to 31; monthly tasks only
  ScheduledScanType scan_type = ScheduledScanType::Quick;
  std::vector<std::string> scan_paths;
  std::chrono::system_clock::time_point last_run{};
  std::chrono::system_clock::time_point next_run{};

  bool operator==(const ScheduledTask&) const = default;
};

// The word of a frequency in the file and in responses; empty for a value outside the enumeration.
inline std::optional<std::string_view> frequencyWord(ScheduleFrequency frequency) {
  switch (frequency) {
    case ScheduleFrequency::Disabled:
      return "disabled";
    case ScheduleFrequency::Daily:
      return "daily";
    case ScheduleFrequency::Weekly:
      return "weekly";
    case ScheduleFrequency::Monthly:
      return "monthly";
  }
  return std::nullopt;
}

// The frequency named by an exact, case-sensitive word; empty for any other text.
inline std::optional<ScheduleFrequency> frequencyFromWord(std::string_view word) {
  for (auto frequency : {ScheduleFrequency::Disabled, ScheduleFrequency::Daily,
                         ScheduleFrequency::Weekly, ScheduleFrequency::Monthly}) {
    if (frequencyWord(frequency) == word) return frequency;
  }
  return std::nullopt;
}

// The word of a scan type in the file and in responses; empty for a value outside the enumeration.
inline std::optional<std::string_view> scanTypeWord(ScheduledScanType scanType) {
  switch (scanType) {
    case ScheduledScanType::Quick:
      return "quick";
    case ScheduledScanType::Full:
      return "full";
    case ScheduledScanType::Custom:
      return "custom";
  }
  return std::nullopt;
}

// The scan type named by an exact, case-sensitive word; empty for any other text.
inline std::optional<ScheduledScanType> scanTypeFromWord(std::string_view word) {
  for (auto scanType :
       {ScheduledScanType::Quick, ScheduledScanType::Full, ScheduledScanType::Custom}) {
    if (scanTypeWord(scanType) == word) return scanType;
  }
  return std::nullopt;
}

}  // namespace norvid
