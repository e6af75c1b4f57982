#include "platform/CurrentProcess.hpp"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace norvid::platform {
namespace {

// From the kernel's ioprio interface, which has no C library wrapper.
constexpr int kIoprioWhoProcess = 1;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;

}  // namespace

std::int32_t currentProcessId() { return static_cast<std::int32_t>(::getpid()); }

void lowerCurrentThreadPriority() {
  const pid_t thread = static_cast<pid_t>(::syscall(SYS_gettid));
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), 19);
  sched_param none{};
  ::sched_setscheduler(thread, SCHED_IDLE, &none);
  ::syscall(SYS_ioprio_set, kIoprioWhoProcess, thread, kIoprioClassIdle << kIoprioClassShift);
}

}  // namespace norvid::platform
