#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "platform/CallerIdentity.hpp"

namespace norvid::testing {

// A caller as the transport would describe a local user's connection.
inline CallerIdentity localUser(std::uint32_t uid, std::uint32_t gid,
                                std::vector<std::uint32_t> groups = {}) {
  CallerIdentity caller;
  caller.known = true;
  caller.uid = uid;
  caller.gid = gid;
  caller.groups = std::move(groups);
  return caller;
}

}  // namespace norvid::testing
