#pragma once

#include "platform/CallerIdentity.hpp"

namespace norvid::platform {

// For its lifetime, the calling thread's file-system identity (fsuid, fsgid and supplementary
// groups) is `caller`'s, so the kernel decides every open, listing and delete exactly as it would
// for that user: permissions, ACLs, unreachable parents, sticky directories. A privileged caller
// (root, or a request that did not come through the socket) means the service's own identity, so
// a guard for CallerIdentity::service() inside a caller's guard writes the service's own files as
// root again. Only the calling thread changes; the destructor restores what was in force before,
// on every path. Throws std::system_error when the switch cannot be made.
class FsCredentialsGuard {
 public:
  explicit FsCredentialsGuard(const CallerIdentity& caller);
  ~FsCredentialsGuard();
  FsCredentialsGuard(const FsCredentialsGuard&) = delete;
  FsCredentialsGuard& operator=(const FsCredentialsGuard&) = delete;

 private:
  bool switched_ = false;
  CallerIdentity previous_;
};

}  // namespace norvid::platform
