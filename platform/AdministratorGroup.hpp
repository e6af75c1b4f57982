#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/CallerIdentity.hpp"

namespace norvid::platform {

// The name of the group whose members may run the administrator commands: NORVID_ADMIN_GROUP,
// or "norvid-admin" when that is not set.
std::string administratorGroupName();

// The id of the administrator group; nullopt when no such group exists on the machine.
std::optional<std::uint32_t> administratorGroupId();

// True for root, for the service's own requests, and for a caller whose primary or supplementary
// groups include the administrator group.
bool isAdministrator(const CallerIdentity& caller);

}  // namespace norvid::platform
