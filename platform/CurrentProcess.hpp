#pragma once

#include <cstdint>

namespace norvid::platform {

// The id of the running process.
std::int32_t currentProcessId();

// Lets the calling thread run and read from disks only when nothing else wants to (idle CPU and
// I/O classes, lowest niceness), for background work that must not slow anyone down. Best
// effort: what the system refuses is left as it was.
void lowerCurrentThreadPriority();

}  // namespace norvid::platform
