#pragma once

#include <cstdint>
#include <vector>

namespace norvid {

// Who sent a request, as the transport learned it from the connection. `known` is false for
// requests that did not come through the socket (tests calling the core directly, the service's
// own work); those act as root, the service's own identity.
struct CallerIdentity {
  bool known = false;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::int32_t pid = 0;
  // Supplementary groups of the peer process, as the kernel reported them for the connection.
  std::vector<std::uint32_t> groups;

  bool isPrivileged() const { return !known || uid == 0; }
  bool isInGroup(std::uint32_t group) const {
    if (gid == group) return true;
    for (std::uint32_t member : groups) {
      if (member == group) return true;
    }
    return false;
  }

  // The service acting on its own behalf.
  static CallerIdentity service() { return CallerIdentity{}; }
};

}  // namespace norvid
