#pragma once

#include <cstdint>
#include <vector>

namespace norvid {

// Who sent a request, as the transport learned it from the connection. `known` is false for
// requests that did not come through the socket (tests calling the core directly, the fuzzer);
// those are treated like root, the service's own identity.
struct CallerIdentity {
  bool known = false;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::int32_t pid = 0;

  bool isPrivileged() const { return !known || uid == 0; }
};

}  // namespace norvid
