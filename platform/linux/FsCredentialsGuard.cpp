#include "platform/FsCredentialsGuard.hpp"

#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace norvid::platform {
namespace {

// The identity the process started with: what "the service itself" means for file access.
struct ProcessIdentity {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

const ProcessIdentity& processIdentity() {
  static const ProcessIdentity identity = [] {
    ProcessIdentity self{::geteuid(), ::getegid(), {}};
    int count = ::getgroups(0, nullptr);
    if (count > 0) {
      self.groups.resize(static_cast<std::size_t>(count));
      count = ::getgroups(count, self.groups.data());
      self.groups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    }
    return self;
  }();
  return identity;
}

// What the calling thread's file-system identity is now: privileged (the process's own) until a
// guard switches it.
thread_local CallerIdentity currentIdentity = CallerIdentity::service();

bool sameIdentity(const CallerIdentity& a, const CallerIdentity& b) {
  if (a.isPrivileged() || b.isPrivileged()) return a.isPrivileged() == b.isPrivileged();
  return a.uid == b.uid && a.gid == b.gid && a.groups == b.groups;
}

// Only this thread: the raw system calls, not glibc's setgroups, which changes every thread.
int setThreadGroups(const std::vector<gid_t>& groups) {
  return static_cast<int>(::syscall(SYS_setgroups, groups.size(), groups.data()));
}

// setfsuid/setfsgid report no error; reading the value back (an invalid id changes nothing and
// returns the current one) tells whether the switch took. It can only fail for want of the
// capabilities, which the process does not lose while it runs, so once a switch has been seen to
// take the read-back is skipped (each of these system calls counts on a scan's hot path).
std::atomic<bool> switchesProven{false};

bool setFsUid(uid_t uid) {
  ::setfsuid(uid);
  return switchesProven.load(std::memory_order_relaxed) ||
         static_cast<uid_t>(::setfsuid(static_cast<uid_t>(-1))) == uid;
}

bool setFsGid(gid_t gid) {
  ::setfsgid(gid);
  return switchesProven.load(std::memory_order_relaxed) ||
         static_cast<gid_t>(::setfsgid(static_cast<gid_t>(-1))) == gid;
}

// Makes `target` the thread's file-system identity. The user id goes last when dropping rights
// and first when taking them back, so the file capabilities that belong to fsuid 0 are in force
// for the group changes.
bool apply(const CallerIdentity& target) {
  const ProcessIdentity& self = processIdentity();
  if (target.isPrivileged()) {
    return setFsUid(self.uid) && setFsGid(self.gid) && setThreadGroups(self.groups) == 0;
  }
  std::vector<gid_t> groups(target.groups.begin(), target.groups.end());
  const bool switched =
      setThreadGroups(groups) == 0 && setFsGid(target.gid) && setFsUid(target.uid);
  if (switched) switchesProven.store(true, std::memory_order_relaxed);
  return switched;
}

}  // namespace

FsCredentialsGuard::FsCredentialsGuard(const CallerIdentity& caller) {
  const CallerIdentity target = caller.isPrivileged() ? CallerIdentity::service() : caller;
  if (sameIdentity(target, currentIdentity)) return;
  // A service that does not run as root cannot take another user's identity, and needs none for
  // its own user: it has no more rights than that user already.
  if (::geteuid() != 0 && !target.isPrivileged() && target.uid == ::geteuid()) return;
  const int savedErrno = errno;
  if (!apply(target)) {
    const int code = errno != 0 ? errno : EPERM;
    apply(currentIdentity);
    throw std::system_error(code, std::generic_category(),
                            "cannot take the caller's file-system identity");
  }
  errno = savedErrno;
  previous_ = currentIdentity;
  currentIdentity = target;
  switched_ = true;
}

FsCredentialsGuard::~FsCredentialsGuard() {
  if (!switched_) return;
  if (!apply(previous_)) {
    // A thread left with the wrong identity would serve the next request with it: stop instead.
    std::fputs("[ERROR] No se pudo restaurar la identidad de archivos del hilo\n", stderr);
    std::abort();
  }
  currentIdentity = previous_;
}

}  // namespace norvid::platform
