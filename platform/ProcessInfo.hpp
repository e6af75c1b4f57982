#pragma once

#include <cstdint>
#include <optional>

namespace norvid::platform {

// Resident set size of this process in bytes; empty when it cannot be read.
std::optional<std::uint64_t> residentMemoryBytes();

// Number of threads of this process; empty when it cannot be read.
std::optional<int> threadCount();

// The id of this process.
std::int32_t currentProcessId();

}  // namespace norvid::platform
