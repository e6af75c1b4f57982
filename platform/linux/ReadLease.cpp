#include "platform/ReadLease.hpp"

#include <fcntl.h>
#include <signal.h>

#include <cerrno>
#include <mutex>

namespace norvid::platform {
namespace {

// The kernel tells a lease holder of a lease break with SIGIO, whose default action ends the
// process. The break is seen through F_GETLEASE instead, so the signal is ignored, unless the
// process already handles it some other way.
void ignoreLeaseBreakSignal() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (::sigaction(SIGIO, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      ::sigemptyset(&ignore.sa_mask);
      ::sigaction(SIGIO, &ignore, nullptr);
    }
  });
}

}  // namespace

Result<ReadLease> ReadLease::take(int descriptor) {
  ignoreLeaseBreakSignal();
  if (::fcntl(descriptor, F_SETLEASE, F_RDLCK) != 0) {
    return Failure::ofErrno(errno, "read lease");
  }
  return ReadLease(descriptor);
}

ReadLease& ReadLease::operator=(ReadLease&& other) noexcept {
  if (this != &other) {
    release();
    descriptor_ = other.descriptor_;
    other.descriptor_ = -1;
  }
  return *this;
}

bool ReadLease::intact() const {
  // While a break is under way, and after the kernel ended the lease, F_GETLEASE answers the
  // type the lease is being broken to (F_UNLCK), no longer F_RDLCK.
  return descriptor_ >= 0 && ::fcntl(descriptor_, F_GETLEASE) == F_RDLCK;
}

void ReadLease::release() {
  if (descriptor_ < 0) return;
  ::fcntl(descriptor_, F_SETLEASE, F_UNLCK);
  descriptor_ = -1;
}

}  // namespace norvid::platform
