#include "platform/ThreadPriority.hpp"

#include <linux/ioprio.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace norvid::platform {
namespace {

constexpr int kBackgroundNice = 19;

// Nice values belong to threads on Linux: PRIO_PROCESS with a thread id sets that thread alone.
id_t currentThreadId() { return static_cast<id_t>(gettid()); }

}  // namespace

Result<> lowerCurrentThreadToBackground() {
  if (setpriority(PRIO_PROCESS, currentThreadId(), kBackgroundNice) != 0) {
    return Failure::ofErrno(lastErrno(), "setpriority 19");
  }
  // glibc has no wrapper for the I/O priority calls; `who` 0 is the calling thread.
  if (syscall(SYS_ioprio_set, IOPRIO_WHO_PROCESS, 0, IOPRIO_PRIO_VALUE(IOPRIO_CLASS_IDLE, 0)) !=
      0) {
    return Failure::ofErrno(lastErrno(), "ioprio_set IOPRIO_CLASS_IDLE");
  }
  return {};
}

ThreadPriority currentThreadPriority() {
  ThreadPriority priority;
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, currentThreadId());
  priority.backgroundCpu = errno == 0 && nice == kBackgroundNice;
  const long io = syscall(SYS_ioprio_get, IOPRIO_WHO_PROCESS, 0);
  priority.idleIo = io >= 0 && IOPRIO_PRIO_CLASS(io) == IOPRIO_CLASS_IDLE;
  return priority;
}

}  // namespace norvid::platform
