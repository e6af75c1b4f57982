#include "scheduler/ScheduledTaskJson.hpp"

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace norvid {
namespace {

using Json = nlohmann::json;
using TimePoint = std::chrono::system_clock::time_point;

std::string describe(const char* key, const Json& value) {
  return std::string("\"") + key + "\": " + value.dump() + " is out of range";
}

// A JSON number as a whole value within [low, high]: integers as they are, fractions truncated
// toward zero. Values outside the range are refused instead of wrapping or overflowing.
std::int64_t boundedNumber(const char* key, const Json& value, std::int64_t low,
                           std::int64_t high) {
  if (value.is_number_unsigned()) {
    auto number = value.get<std::uint64_t>();
    if (number > static_cast<std::uint64_t>(high)) throw std::out_of_range(describe(key, value));
    return static_cast<std::int64_t>(number);
  }
  if (value.is_number_integer()) {
    auto number = value.get<std::int64_t>();
    if (number < low || number > high) throw std::out_of_range(describe(key, value));
    return number;
  }
  auto number = value.get<double>();
  // Both bounds are exact in a double for the ranges used here (32-bit and the clock's seconds).
  if (!(number > static_cast<double>(low) - 1.0 && number < static_cast<double>(high) + 1.0)) {
    throw std::out_of_range(describe(key, value));
  }
  return static_cast<std::int64_t>(number);
}

std::int32_t readInt32(const Json& object, const char* key) {
  const Json& value = object.at(key);
  if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
  if (!value.is_number()) return value.get<std::int32_t>();  // the library's type error
  return static_cast<std::int32_t>(boundedNumber(key, value,
                                                 std::numeric_limits<std::int32_t>::min(),
                                                 std::numeric_limits<std::int32_t>::max()));
}

TimePoint readInstant(const Json& object, const char* key) {
  const Json& value = object.at(key);
  if (!value.is_number()) {
    // The library reads a boolean as a number; instants accept numbers only.
    throw Json::type_error::create(
        302, std::string("type must be number, but is ") + value.type_name(), &value);
  }
  const std::int64_t limit =
      std::chrono::duration_cast<std::chrono::seconds>(TimePoint::duration::max()).count();
  std::int64_t seconds = boundedNumber(key, value, -limit, limit);
  return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::seconds(seconds)));
}

std::int64_t wholeSeconds(TimePoint instant) {
  return std::chrono::duration_cast<std::chrono::seconds>(instant.time_since_epoch()).count();
}

}  // namespace

Json taskToJson(const ScheduledTask& task) {
  Json object = {
      {"id", task.id},
      {"enabled", task.enabled},
      {"hour", task.hour},
      {"minute", task.minute},
      {"day_of_week", task.day_of_week},
      {"day_of_month", task.day_of_month},
      {"scan_paths", task.scan_paths},
      {"last_run", wholeSeconds(task.last_run)},
      {"next_run", wholeSeconds(task.next_run)},
  };
  if (auto word = frequencyWord(task.frequency)) object["frequency"] = *word;
  if (auto word = scanTypeWord(task.scan_type)) object["scan_type"] = *word;
  return object;
}

ScheduledTask taskFromJson(const Json& object) {
  ScheduledTask task;
  task.id = object.at("id").get<std::string>();
  task.enabled = object.at("enabled").get<bool>();

  auto frequencyText = object.at("frequency").get<std::string>();
  auto frequency = frequencyFromWord(frequencyText);
  if (!frequency) throw std::invalid_argument("unknown frequency \"" + frequencyText + "\"");
  task.frequency = *frequency;

  task.hour = readInt32(object, "hour");
  task.minute = readInt32(object, "minute");
  task.day_of_week = readInt32(object, "day_of_week");
  task.day_of_month = readInt32(object, "day_of_month");

  auto scanTypeText = object.at("scan_type").get<std::string>();
  auto scanType = scanTypeFromWord(scanTypeText);
  if (!scanType) throw std::invalid_argument("unknown scan type \"" + scanTypeText + "\"");
  task.scan_type = *scanType;

  if (auto paths = object.find("scan_paths"); paths != object.end()) {
    if (!paths->is_array()) {
      throw Json::type_error::create(
          302, std::string("type must be array, but is ") + paths->type_name(), &*paths);
    }
    for (const Json& path : *paths) task.scan_paths.push_back(path.get<std::string>());
  }

  task.last_run = readInstant(object, "last_run");
  task.next_run = readInstant(object, "next_run");
  return task;
}

}  // namespace norvid
