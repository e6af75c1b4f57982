#pragma once

#include "platform/SystemError.hpp"

namespace norvid::platform {

// What the calling thread gets of the machine when others want it too.
struct ThreadPriority {
  // True when the thread runs at the lowest CPU priority (nice 19).
  bool backgroundCpu = false;
  // True when its disk requests are in the idle I/O class.
  bool idleIo = false;
};

// Moves the calling thread (and the threads it creates afterwards) to background priority: nice 19
// and the idle I/O class. Nice 19 rather than idle scheduling, so that a machine that is never
// idle still lets the thread progress (it may hold locks others wait for). The I/O class only
// acts on disks whose I/O scheduler honours it (BFQ); elsewhere it is accepted and has no effect.
// Fails with the errno of the step the kernel refused; a step that worked stays in effect.
Result<> lowerCurrentThreadToBackground();

// The calling thread's priority as the kernel reports it.
ThreadPriority currentThreadPriority();

}  // namespace norvid::platform
