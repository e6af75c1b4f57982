#pragma once

#include <nlohmann/json.hpp>

#include "scheduler/ScheduledTask.hpp"

namespace norvid {

// The task as stored in scheduler.json: every field under its own name, frequency and scan type as
// their words (a value outside the enumeration leaves its key out), instants as whole seconds
// since the epoch, truncated.
nlohmann::json taskToJson(const ScheduledTask& task);

// Reads one stored task. Every key but "scan_paths" is required; "id" must be a string, "enabled"
// a boolean, the words exact; hour, minute and days are 32-bit integers (a fraction truncated, a
// boolean 0 or 1) and the instants whole seconds (numbers only). Throws the JSON library's error
// for a missing key or a wrong type, std::invalid_argument for an unknown word and
// std::out_of_range for a number the field cannot hold.
ScheduledTask taskFromJson(const nlohmann::json& object);

}  // namespace norvid
