#pragma once

#include <cstdint>

namespace norvid::platform {

// The id of the running process.
std::int32_t currentProcessId();

}  // namespace norvid::platform
